// Two integers and a payload; also the element of srg_sync_msg field 15.
#pragma once

#include "core/engine.hpp"

template <>
struct kest::core::schema<srg_opaque> {
    using fields = field_list<
        u32<1, &srg_opaque::f1>,
        u32<2, &srg_opaque::f2>,
        bytes<3, &srg_opaque::f3, &srg_opaque::f3_len>>;
};
