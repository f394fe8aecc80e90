#include "srg/srg_cmd_msg.hpp"
#include "srg/srg_neg_msg.hpp"
#include "srg/srg_opaque.hpp"
#include "srg/srg_sync_msg.hpp"

KEST_DEFINE_OPERATIONS(srg_opaque)
KEST_DEFINE_OPERATIONS(srg_cmd_msg)
KEST_DEFINE_OPERATIONS(srg_sync_msg)
KEST_DEFINE_PLAIN_OPERATIONS(srg_neg_msg)
