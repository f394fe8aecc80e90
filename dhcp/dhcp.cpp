#include "dhcp/dhcp.hpp"

KEST_DEFINE_OPERATIONS(ia_id_msg)
KEST_DEFINE_OPERATIONS(srg_opq_dhcpv6_msg)
KEST_DEFINE_OPERATIONS(srg_opq_dhcpv4_msg)
