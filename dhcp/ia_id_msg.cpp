#include "dhcp/ia_id_msg.hpp"

KEST_DEFINE_OPERATIONS(kest_, ia_id_msg)
