// Half the time, wire inputs (even first byte) are edited a field at a time; else libFuzzer's way.
#pragma once

#include "kit.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

namespace kest_fuzz {

using kt::Bytes;

struct Field {
    uint64_t tag;
    Bytes value;  // after the tag, without the length prefix of wire type 2
    int64_t skew = 0;  // added to the length prefix as written
};

inline bool split(const uint8_t *p, const uint8_t *end, std::vector<Field> &fields) {
    for (Field f; p != end; fields.push_back(f)) {
        uint64_t n = 0, wire = 0;
        unsigned k;
        if (!kt::get_varint(p, end, f.tag, k) || (wire = f.tag & 7) == 3 || wire == 4 || wire > 5) return false;
        const uint8_t *from = p;
        if ((wire == 0 || wire == 2) && !kt::get_varint(p, end, n, k)) return false;
        if (wire == 2) from = p;
        if (wire) n = wire == 1 ? 8 : wire == 5 ? 4 : n;
        if (wire && n > uint64_t(end - p)) return false;
        p += wire ? n : 0;
        f.value.assign(from, p);
    }
    return true;
}

inline Bytes join(const std::vector<Field> &fields) {
    Bytes out;
    for (const Field &f : fields) {
        kt::put_varint(out, f.tag);
        if ((f.tag & 7) == 2) kt::put_varint(out, uint64_t(int64_t(f.value.size()) + f.skew));
        out.insert(out.end(), f.value.begin(), f.value.end());
    }
    return out;
}

// One edit of wire bytes that split into fields; empty when they do not.
inline Bytes mutate(const Bytes &wire, std::mt19937 &rng, size_t max_size) {
    std::vector<Field> fields;
    if (!split(wire.data(), wire.data() + wire.size(), fields) || fields.empty()) return {};
    const size_t at = rng() % fields.size();
    Field &f = fields[at];
    switch (rng() % 6) {
    case 0: fields.insert(fields.begin() + long(at), 1 + rng() % 64, Field(f)); break;
    case 1: fields.erase(fields.begin() + long(at)); break;
    case 2: f.tag = (f.tag & 7) | uint64_t(1 + rng() % 40) << 3; break;
    case 3: f.tag = (f.tag & ~uint64_t{7}) | rng() % 8; break;
    case 4: f.skew = int64_t(rng() % 5) - 2; break;
    default:
        if ((f.tag & 7) != 2) return {};
        if (Bytes inner = mutate(f.value, rng, max_size); !inner.empty()) {
            f.value = std::move(inner);
        } else {
            const size_t n = f.value.size();
            f.value.resize(n + 16);
            f.value.resize(LLVMFuzzerMutate(f.value.data(), n, f.value.size()));
        }
    }
    Bytes out = join(fields);
    return out.size() <= max_size ? out : Bytes{};
}

}  // namespace kest_fuzz

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size, unsigned seed) {
    std::mt19937 rng(seed);
    if (size > 1 && !(data[0] & 1) && rng() % 2) {
        const kest_fuzz::Bytes out = kest_fuzz::mutate({data + 1, data + size}, rng, max_size - 1);
        if (!out.empty()) {
            std::memcpy(data + 1, out.data(), out.size());
            return out.size() + 1;
        }
    }
    return LLVMFuzzerMutate(data, size, max_size);
}
