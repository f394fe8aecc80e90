#include "srg.kest.hpp"

KEST_DEFINE_PLAIN_OPERATIONS(kest_, srg_neg_msg)
