#include "srg/srg_cmd_msg.hpp"

KEST_DEFINE_OPERATIONS(kest_, srg_cmd_msg)
