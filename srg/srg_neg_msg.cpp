#include "srg/srg_neg_msg.hpp"

KEST_DEFINE_PLAIN_OPERATIONS(srg_neg_msg)
