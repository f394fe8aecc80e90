#include "srg/srg_sync_msg.hpp"

KEST_DEFINE_OPERATIONS(srg_sync_msg)
