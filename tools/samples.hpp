// A sample record of any message, read off its field list.
#pragma once

#include "json_map.hpp"

namespace kest::tool {

// Every field present: integers of every varint width, 64-bit values above 2^53
// (exact in JSON only as integers), byte strings that name their field, and runs of
// a full element and an empty one. Memory comes from `a`, attached as it is taken.
template <class R>
void fill_sample(R &m, const allocator &a) {
    core::for_each_field<R>([&]<class F, size_t I>() {
        constexpr core::kind kind = kind_of<F>;
        constexpr uint32_t n = F::tag::number;
        auto &v = m.*F::member;
        if constexpr (kind == core::kind::bytes) {
            const std::string text = "kest-f" + std::to_string(n);
            v = static_cast<uint8_t *>(std::memcpy(take_memory(a, text.size(), "sample"), text.data(), text.size()));
            m.*F::length = text.size();
        } else if constexpr (kind == core::kind::message) {
            using E = typename F::element;
            v = static_cast<E *>(std::memset(take_memory(a, 2 * sizeof(E), "sample"), 0, 2 * sizeof(E)));
            m.*F::count = 2;
            fill_sample(v[0], a);
        } else if constexpr (kind == core::kind::boolean) {
            v = n % 2 == 0;
        } else if constexpr (kind == core::kind::uint64) {
            v = (uint64_t{1} << 53) + n;
        } else if constexpr (kind == core::kind::fixed32) {
            v = 0xC0A80000u + n;
        } else {
            v = n << (7 * (I % 5));
        }
        m.present |= core::bit<R, I>;
    });
}

}  // namespace kest::tool
