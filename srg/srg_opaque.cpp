#include "srg/srg_opaque.hpp"

KEST_DEFINE_OPERATIONS(srg_opaque)
