#include "srg.kest.hpp"

KEST_DEFINE_OPERATIONS(kest_, ia_id_msg)
