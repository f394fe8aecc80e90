// IA identifier; also the element of srg_opq_dhcpv6_msg field 14.
#pragma once

#include "core/engine.hpp"

template <>
struct kest::core::schema<ia_id_msg> {
    using fields = field_list<
        u32<1, &ia_id_msg::f1>,
        u32<2, &ia_id_msg::f2>,
        u32<3, &ia_id_msg::f3>,
        u32<4, &ia_id_msg::f4>,
        u32<5, &ia_id_msg::f5>,
        u32<6, &ia_id_msg::f6>,
        u32<7, &ia_id_msg::f7>,
        u32<8, &ia_id_msg::f8>,
        bytes<9, &ia_id_msg::f9, &ia_id_msg::f9_len>,
        u32<10, &ia_id_msg::f10>,
        u32<11, &ia_id_msg::f11>,
        u32<12, &ia_id_msg::f12>,
        u32<13, &ia_id_msg::f13>,
        u32<14, &ia_id_msg::f14>,
        u32<15, &ia_id_msg::f15>>;
};
