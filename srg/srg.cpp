#include "srg/srg.hpp"

KEST_DEFINE_OPERATIONS(srg_opaque)
KEST_DEFINE_OPERATIONS(srg_cmd_msg)
KEST_DEFINE_OPERATIONS(srg_sync_msg)
KEST_DEFINE_PLAIN_OPERATIONS(srg_neg_msg)
