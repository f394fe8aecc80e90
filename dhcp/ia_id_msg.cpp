#include "dhcp/ia_id_msg.hpp"

KEST_DEFINE_OPERATIONS(ia_id_msg)
