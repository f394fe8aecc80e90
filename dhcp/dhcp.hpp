// The descriptions of the DHCP records.
#pragma once

#include "dhcp/ia_id_msg.hpp"
#include "dhcp/srg_opq_dhcpv4_msg.hpp"
#include "dhcp/srg_opq_dhcpv6_msg.hpp"
