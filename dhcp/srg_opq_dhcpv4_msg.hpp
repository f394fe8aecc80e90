// Opaque DHCPv4 record: 38 fields without gaps.
#pragma once

#include "core/engine.hpp"

template <>
struct kest::core::schema<srg_opq_dhcpv4_msg> {
    using fields = field_list<
        bytes<1, &srg_opq_dhcpv4_msg::f1, &srg_opq_dhcpv4_msg::f1_len>,
        u32<2, &srg_opq_dhcpv4_msg::f2>,
        u32<3, &srg_opq_dhcpv4_msg::f3>,
        fixed32<4, &srg_opq_dhcpv4_msg::f4>,
        fixed32<5, &srg_opq_dhcpv4_msg::f5>,
        u32<6, &srg_opq_dhcpv4_msg::f6>,
        u32<7, &srg_opq_dhcpv4_msg::f7>,
        u32<8, &srg_opq_dhcpv4_msg::f8>,
        fixed32<9, &srg_opq_dhcpv4_msg::f9>,
        bytes<10, &srg_opq_dhcpv4_msg::f10, &srg_opq_dhcpv4_msg::f10_len>,
        fixed32<11, &srg_opq_dhcpv4_msg::f11>,
        u32<12, &srg_opq_dhcpv4_msg::f12>,
        u32<13, &srg_opq_dhcpv4_msg::f13>,
        u32<14, &srg_opq_dhcpv4_msg::f14>,
        u32<15, &srg_opq_dhcpv4_msg::f15>,
        u32<16, &srg_opq_dhcpv4_msg::f16>,
        fixed32<17, &srg_opq_dhcpv4_msg::f17>,
        bytes<18, &srg_opq_dhcpv4_msg::f18, &srg_opq_dhcpv4_msg::f18_len>,
        u32<19, &srg_opq_dhcpv4_msg::f19>,
        u32<20, &srg_opq_dhcpv4_msg::f20>,
        u32<21, &srg_opq_dhcpv4_msg::f21>,
        u64<22, &srg_opq_dhcpv4_msg::f22>,
        bytes<23, &srg_opq_dhcpv4_msg::f23, &srg_opq_dhcpv4_msg::f23_len>,
        bytes<24, &srg_opq_dhcpv4_msg::f24, &srg_opq_dhcpv4_msg::f24_len>,
        bytes<25, &srg_opq_dhcpv4_msg::f25, &srg_opq_dhcpv4_msg::f25_len>,
        bytes<26, &srg_opq_dhcpv4_msg::f26, &srg_opq_dhcpv4_msg::f26_len>,
        bytes<27, &srg_opq_dhcpv4_msg::f27, &srg_opq_dhcpv4_msg::f27_len>,
        u32<28, &srg_opq_dhcpv4_msg::f28>,
        bytes<29, &srg_opq_dhcpv4_msg::f29, &srg_opq_dhcpv4_msg::f29_len>,
        bytes<30, &srg_opq_dhcpv4_msg::f30, &srg_opq_dhcpv4_msg::f30_len>,
        fixed32<31, &srg_opq_dhcpv4_msg::f31>,
        u32<32, &srg_opq_dhcpv4_msg::f32>,
        bytes<33, &srg_opq_dhcpv4_msg::f33, &srg_opq_dhcpv4_msg::f33_len>,
        bytes<34, &srg_opq_dhcpv4_msg::f34, &srg_opq_dhcpv4_msg::f34_len>,
        fixed32<35, &srg_opq_dhcpv4_msg::f35>,
        fixed32<36, &srg_opq_dhcpv4_msg::f36>,
        fixed32<37, &srg_opq_dhcpv4_msg::f37>,
        fixed32<38, &srg_opq_dhcpv4_msg::f38>>;
};
