// Opaque DHCPv6 record, with its run of ia_id_msg records.
#pragma once

#include "dhcp/ia_id_msg.hpp"

template <>
struct kest::core::schema<srg_opq_dhcpv6_msg> {
    using fields = field_list<
        u32<1, &srg_opq_dhcpv6_msg::f1>,
        u32<2, &srg_opq_dhcpv6_msg::f2>,
        u32<3, &srg_opq_dhcpv6_msg::f3>,
        u32<4, &srg_opq_dhcpv6_msg::f4>,
        u64<5, &srg_opq_dhcpv6_msg::f5>,
        bytes<6, &srg_opq_dhcpv6_msg::f6, &srg_opq_dhcpv6_msg::f6_len>,
        bytes<7, &srg_opq_dhcpv6_msg::f7, &srg_opq_dhcpv6_msg::f7_len>,
        bytes<8, &srg_opq_dhcpv6_msg::f8, &srg_opq_dhcpv6_msg::f8_len>,
        bytes<9, &srg_opq_dhcpv6_msg::f9, &srg_opq_dhcpv6_msg::f9_len>,
        bytes<10, &srg_opq_dhcpv6_msg::f10, &srg_opq_dhcpv6_msg::f10_len>,
        bytes<11, &srg_opq_dhcpv6_msg::f11, &srg_opq_dhcpv6_msg::f11_len>,
        bytes<12, &srg_opq_dhcpv6_msg::f12, &srg_opq_dhcpv6_msg::f12_len>,
        u32<13, &srg_opq_dhcpv6_msg::f13>,
        repeated<14, &srg_opq_dhcpv6_msg::f14, &srg_opq_dhcpv6_msg::n_f14>,
        bytes<15, &srg_opq_dhcpv6_msg::f15, &srg_opq_dhcpv6_msg::f15_len>,
        bytes<16, &srg_opq_dhcpv6_msg::f16, &srg_opq_dhcpv6_msg::f16_len>,
        bytes<17, &srg_opq_dhcpv6_msg::f17, &srg_opq_dhcpv6_msg::f17_len>,
        bytes<18, &srg_opq_dhcpv6_msg::f18, &srg_opq_dhcpv6_msg::f18_len>,
        bytes<19, &srg_opq_dhcpv6_msg::f19, &srg_opq_dhcpv6_msg::f19_len>,
        bytes<20, &srg_opq_dhcpv6_msg::f20, &srg_opq_dhcpv6_msg::f20_len>,
        bytes<21, &srg_opq_dhcpv6_msg::f21, &srg_opq_dhcpv6_msg::f21_len>,
        bytes<22, &srg_opq_dhcpv6_msg::f22, &srg_opq_dhcpv6_msg::f22_len>,
        u32<23, &srg_opq_dhcpv6_msg::f23>,
        bytes<24, &srg_opq_dhcpv6_msg::f24, &srg_opq_dhcpv6_msg::f24_len>,
        u32<25, &srg_opq_dhcpv6_msg::f25>,
        bytes<26, &srg_opq_dhcpv6_msg::f26, &srg_opq_dhcpv6_msg::f26_len>,
        bytes<27, &srg_opq_dhcpv6_msg::f27, &srg_opq_dhcpv6_msg::f27_len>>;
};
