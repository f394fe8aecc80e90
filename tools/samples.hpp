// A sample record of any message, read off its field list.
#pragma once

#include "json_map.hpp"

namespace kest::tool {

// Every field present: integers of every varint width, 64-bit values above 2^53
// (exact in JSON only as integers), byte strings that name their field, and runs of
// a full element and an empty one.
template <class R>
json sample() {
    json out = json::object();
    core::for_each_field<R>([&]<class F, size_t I>() {
        constexpr std::string_view kind = kind_of<F>;
        constexpr uint32_t n = F::tag::number;
        json &slot = out[member_name<F>()];
        if constexpr (kind == "bytes") {
            const std::string text = "kest-f" + std::to_string(n);
            slot = to_hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
        } else if constexpr (kind == "repeated") {
            slot = json::array({sample<typename F::element>(), json::object()});
        } else if constexpr (kind == "bool") {
            slot = n % 2 == 0;
        } else if constexpr (kind == "uint64") {
            slot = (uint64_t{1} << 53) + n;
        } else if constexpr (kind == "fixed32") {
            slot = 0xC0A80000u + n;
        } else {
            slot = n << (7 * (I % 5));
        }
    });
    return out;
}

}  // namespace kest::tool
