#include "srg/srg_opaque.hpp"

KEST_DEFINE_OPERATIONS(kest_, srg_opaque)
