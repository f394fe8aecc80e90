#include "srg/srg_sync_msg.hpp"

KEST_DEFINE_OPERATIONS(kest_, srg_sync_msg)
