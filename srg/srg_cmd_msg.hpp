// The command message. Numbers 6 to 10 are not part of it.
#pragma once

#include "core/engine.hpp"

template <>
struct kest::core::schema<srg_cmd_msg> {
    using fields = field_list<
        u32<1, &srg_cmd_msg::f1>,
        u32<2, &srg_cmd_msg::f2>,
        u32<3, &srg_cmd_msg::f3>,
        u32<4, &srg_cmd_msg::f4>,
        u32<5, &srg_cmd_msg::f5>,
        u32<11, &srg_cmd_msg::f11>,
        u32<12, &srg_cmd_msg::f12>,
        bytes<13, &srg_cmd_msg::f13, &srg_cmd_msg::f13_len>,
        u32<14, &srg_cmd_msg::f14>,
        u32<15, &srg_cmd_msg::f15>>;
};
