#include "dhcp/ia_id_msg.hpp"
#include "dhcp/srg_opq_dhcpv4_msg.hpp"
#include "dhcp/srg_opq_dhcpv6_msg.hpp"

KEST_DEFINE_OPERATIONS(ia_id_msg)
KEST_DEFINE_OPERATIONS(srg_opq_dhcpv6_msg)
KEST_DEFINE_OPERATIONS(srg_opq_dhcpv4_msg)
