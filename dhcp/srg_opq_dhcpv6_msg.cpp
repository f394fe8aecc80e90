#include "dhcp/srg_opq_dhcpv6_msg.hpp"

KEST_DEFINE_OPERATIONS(srg_opq_dhcpv6_msg)
