// The neg message: integers and booleans only, so it owns no memory.
#pragma once

#include "core/engine.hpp"

template <>
struct kest::core::schema<srg_neg_msg> {
    using fields = field_list<
        u32<1, &srg_neg_msg::f1>,
        u32<2, &srg_neg_msg::f2>,
        u32<3, &srg_neg_msg::f3>,
        u32<4, &srg_neg_msg::f4>,
        u32<5, &srg_neg_msg::f5>,
        boolean<6, &srg_neg_msg::f6>,
        u32<7, &srg_neg_msg::f7>,
        u32<8, &srg_neg_msg::f8>,
        boolean<9, &srg_neg_msg::f9>,
        u32<10, &srg_neg_msg::f10>,
        u32<15, &srg_neg_msg::f15>,
        u32<16, &srg_neg_msg::f16>,
        u32<17, &srg_neg_msg::f17>>;
};
