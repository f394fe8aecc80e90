#include "srg/srg_cmd_msg.hpp"

KEST_DEFINE_OPERATIONS(srg_cmd_msg)
