#include "srg.kest.hpp"

KEST_DEFINE_OPERATIONS(kest_, srg_opq_dhcpv4_msg)
