// The synchronisation message, with its run of srg_opaque records.
#pragma once

#include "srg/srg_opaque.hpp"

template <>
struct kest::core::schema<srg_sync_msg> {
    using fields = field_list<
        u32<1, &srg_sync_msg::f1>,
        u32<2, &srg_sync_msg::f2>,
        u32<3, &srg_sync_msg::f3>,
        u32<4, &srg_sync_msg::f4>,
        u32<5, &srg_sync_msg::f5>,
        bytes<6, &srg_sync_msg::f6, &srg_sync_msg::f6_len>,
        u32<7, &srg_sync_msg::f7>,
        u32<8, &srg_sync_msg::f8>,
        u32<9, &srg_sync_msg::f9>,
        u32<10, &srg_sync_msg::f10>,
        fixed32<11, &srg_sync_msg::f11>,
        bytes<12, &srg_sync_msg::f12, &srg_sync_msg::f12_len>,
        repeated<15, &srg_sync_msg::f15, &srg_sync_msg::n_f15>,
        u32<16, &srg_sync_msg::f16>,
        u32<17, &srg_sync_msg::f17>,
        boolean<18, &srg_sync_msg::f18>>;
};
