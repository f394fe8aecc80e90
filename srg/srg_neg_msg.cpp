#include "srg/srg_neg_msg.hpp"

KEST_DEFINE_PLAIN_OPERATIONS(kest_, srg_neg_msg)
