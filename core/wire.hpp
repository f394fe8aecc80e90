// Wire primitives: varint sizes and writers, the bounded output with its segment
// bookkeeping, and the bounded input readers. They know nothing of messages.
#pragma once

#include <kest_types.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kest::core {

// The primitives are small and on every hot path; the compiler's heuristics give up
// on them inside the large unrolled field walks, so inlining is forced.
#define KEST_INLINE [[gnu::always_inline]] inline
#define KEST_INLINE_LAMBDA __attribute__((always_inline))

enum : uint32_t { wire_varint = 0, wire_fixed64 = 1, wire_len = 2, wire_fixed32 = 5 };

// ceil(bits / 7) without a division: bits * 9 / 64 rounds the same way up to 64 bits.
// The index of the top bit is what the hardware gives (bsr), so bits = top + 1.
constexpr uint32_t varint_size(uint64_t v) {
    const auto top = static_cast<uint32_t>(63 ^ __builtin_clzll(v | 1));
    return (top * 9 + 73) >> 6;
}
static_assert(varint_size(0) == 1 && varint_size(127) == 1 && varint_size(128) == 2 &&
              varint_size(16383) == 2 && varint_size(16384) == 3 && varint_size(0xFFFFFFFF) == 5 &&
              varint_size(uint64_t{1} << 56) == 9 && varint_size(~uint64_t{0}) == 10);

KEST_INLINE uint8_t *put_varint(uint8_t *p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<uint8_t>(v) | 0x80;
        v >>= 7;
    }
    *p++ = static_cast<uint8_t>(v);
    return p;
}

// Unrolled for 32-bit values: no loop counter, one predictable branch per byte.
KEST_INLINE uint8_t *put_varint(uint8_t *p, uint32_t v) {
    if (v < (1u << 7)) {
        p[0] = static_cast<uint8_t>(v);
        return p + 1;
    }
    p[0] = static_cast<uint8_t>(v | 0x80);
    if (v < (1u << 14)) {
        p[1] = static_cast<uint8_t>(v >> 7);
        return p + 2;
    }
    p[1] = static_cast<uint8_t>((v >> 7) | 0x80);
    if (v < (1u << 21)) {
        p[2] = static_cast<uint8_t>(v >> 14);
        return p + 3;
    }
    p[2] = static_cast<uint8_t>((v >> 14) | 0x80);
    if (v < (1u << 28)) {
        p[3] = static_cast<uint8_t>(v >> 21);
        return p + 4;
    }
    p[3] = static_cast<uint8_t>((v >> 21) | 0x80);
    p[4] = static_cast<uint8_t>(v >> 28);
    return p + 5;
}

// The bytes of a varint known at compile time.
template <uint32_t V, size_t I>
inline constexpr uint8_t varint_byte = static_cast<uint8_t>(V >> 7 * I | (I + 1 < varint_size(V) ? 0x80 : 0));

// A tag is a compile-time constant: its bytes are emitted as immediates.
// No lambda here: inside the large field walks the compiler would call it.
template <uint32_t Tag>
KEST_INLINE uint8_t *put_tag(uint8_t *p) {
    constexpr uint32_t n = varint_size(Tag);
    p[0] = varint_byte<Tag, 0>;
    if constexpr (n > 1) p[1] = varint_byte<Tag, 1>;
    if constexpr (n > 2) p[2] = varint_byte<Tag, 2>;
    if constexpr (n > 3) p[3] = varint_byte<Tag, 3>;
    if constexpr (n > 4) p[4] = varint_byte<Tag, 4>;
    return p + n;
}

KEST_INLINE uint8_t *put_fixed32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
    return p + 4;
}

KEST_INLINE uint8_t *put_fixed64(uint8_t *p, uint64_t v) {
    return put_fixed32(put_fixed32(p, static_cast<uint32_t>(v)), static_cast<uint32_t>(v >> 32));
}

// Payloads of control-plane messages are short: copied inline with overlapping
// fixed-size moves, a call to memcpy would also force the writer's state to memory.
KEST_INLINE void copy_bytes(uint8_t *dst, const uint8_t *src, uint64_t n) {
    auto move = [&]<size_t W>(uint64_t at) KEST_INLINE_LAMBDA {
        uint8_t tmp[W];
        std::memcpy(tmp, src + at, W);
        std::memcpy(dst + at, tmp, W);
    };
    if (n > 32) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        move.template operator()<16>(0);
        move.template operator()<16>(n - 16);
    } else if (n >= 8) {
        move.template operator()<8>(0);
        move.template operator()<8>(n - 8);
    } else if (n >= 4) {
        move.template operator()<4>(0);
        move.template operator()<4>(n - 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// Up to a few hundred bytes, in 32-byte moves (the last one overlapping): a call to
// memcpy costs a small message a fifth of its encode.
KEST_INLINE void copy_short(uint8_t *dst, const uint8_t *src, uint64_t n) {
    if (n <= 32) return copy_bytes(dst, src, n);
    for (uint64_t at = 0;; at += 32) {
        const uint64_t from = at + 32 < n ? at : n - 32;
        uint8_t tmp[32];
        std::memcpy(tmp, src + from, 32);
        std::memcpy(dst + from, tmp, 32);
        if (from != at) return;
    }
}

// The bounded encoder output, for a buffer that ends before the encoding: every byte
// is a bounded write, the position counts on past the end of the buffer, and
// segments are stored only below the caller's capacity.
struct Out {
    uint8_t *buf;
    uint64_t buflen;
    kest_segment *segs;
    uint32_t cap;
    bool track;  // the caller passed a segment count
    bool zero_copy;
    uint64_t pos = 0;
    uint64_t run = 0;     // start of the buffer run not yet covered by a segment
    uint64_t ref = 0;     // payload bytes sent by reference, which `pos` does not count
    uint32_t nseg = 0;
    uintptr_t origin = reinterpret_cast<uintptr_t>(buf);  // address of position 0

    KEST_INLINE uint64_t room() const { return pos < buflen ? buflen - pos : 0; }

    // Every byte stored only below the buffer's end; the position counts on.
    void put_bytes(const uint8_t *b, size_t n) {
        for (size_t i = 0; i < n; ++i, ++pos)
            if (pos < buflen) buf[pos] = b[i];
    }

    // Integer arithmetic, since the buffer may be null or shorter than the offset.
    const uint8_t *at(uint64_t off) const { return reinterpret_cast<const uint8_t *>(origin + off); }

    KEST_INLINE void segment(const uint8_t *base, uint64_t len) {
        if (nseg < cap) segs[nseg] = kest_segment{base, len};
        ++nseg;
    }

    KEST_INLINE void close_run() {
        if (pos > run) segment(at(run), pos - run);
        run = pos;
    }

    KEST_INLINE void payload(const uint8_t *p, uint64_t n) {
        if (zero_copy) {
            ref += n;
            // Without a segment count a zero-copy payload is neither written nor counted.
            if (n == 0 || !track) return;
            segment(at(run), pos - run);
            segment(p, n);
            run = pos;
            return;
        }
        inline_payload(p, n);
    }
    KEST_INLINE void inline_payload(const uint8_t *p, uint64_t n) {
        if (n != 0 && n <= room()) copy_bytes(buf + pos, p, n);  // only a payload that fits whole
        pos += n;
    }

    // An embedded element sees the buffer from `pos` on, or no buffer at all once
    // the position has passed its end; its segments are based accordingly.
    uintptr_t enter_element() {
        const uintptr_t saved = origin;
        if (pos >= buflen) origin = uintptr_t{0} - pos;
        return saved;
    }
    void leave_element(uintptr_t saved) { origin = saved; }
};

// Decoder input: a forward cursor that never reads at or past `end`.
struct In {
    const uint8_t *p;
    const uint8_t *end;

    uint64_t left() const { return static_cast<uint64_t>(end - p); }
    bool done() const { return p == end; }

    // Low 32 bits of a varint of any length; false when the input ends inside it.
    KEST_INLINE bool u32(uint32_t &out) {
        if (left() >= 10) [[likely]] {  // no bounds checks needed for the first five bytes
            uint32_t v = p[0];
            if (v < 0x80) {
                out = v;
                p += 1;
                return true;
            }
            v &= 0x7F;
            for (unsigned i = 1; i < 5; ++i) {
                const uint32_t b = p[i];
                v |= (b & 0x7F) << (7 * i);
                if (b < 0x80) {
                    out = v;
                    p += i + 1;
                    return true;
                }
            }
            p += 5;
            if (!skip_varint()) return false;
            out = v;
            return true;
        }
        return varint(out);
    }

    // Low 64 bits of a varint of any length.
    KEST_INLINE bool u64(uint64_t &out) { return varint(out); }

    // Bounds-checked: the bytes that fit in T contribute (the last one only its low
    // bits, by the shift), later continuation bytes are passed over.
    template <class T>
    KEST_INLINE bool varint(T &out) {
        constexpr unsigned bytes = (sizeof(T) * 8 + 6) / 7;
        T v = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            if (p == end) return false;
            const uint8_t b = *p++;
            v |= static_cast<T>(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) {
                out = v;
                return true;
            }
        }
        if (!skip_varint()) return false;
        out = v;
        return true;
    }

    KEST_INLINE bool skip_varint() {
        while (p != end)
            if (!(*p++ & 0x80)) return true;
        return false;
    }

    KEST_INLINE bool fixed32(uint32_t &out) {
        if (left() < 4) return false;
        out = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        p += 4;
        return true;
    }

    KEST_INLINE bool fixed64(uint64_t &out) {
        if (left() < 8) return false;
        out = 0;
        for (int i = 7; i >= 0; --i) out = out << 8 | p[i];
        p += 8;
        return true;
    }

    // Consumes the constant bytes of a tag if they are next.
    template <uint32_t Tag>
    KEST_INLINE bool at_tag() {
        constexpr size_t n = varint_size(Tag);
        if (left() < n || p[0] != varint_byte<Tag, 0>) return false;
        if constexpr (n > 1)
            if (p[1] != varint_byte<Tag, 1>) return false;
        if constexpr (n > 2)
            if (p[2] != varint_byte<Tag, 2> || (n > 3 && p[3] != varint_byte<Tag, 3>) || (n > 4 && p[4] != varint_byte<Tag, 4>))
                return false;
        p += n;
        return true;
    }

    KEST_INLINE bool skip(uint64_t n) {
        if (left() < n) return false;
        p += n;
        return true;
    }

    // A length prefix whose extent lies within the input.
    KEST_INLINE bool extent(uint32_t &n) { return u32(n) && left() >= n; }

    // Unknown fields are passed over by wire type alone.
    int32_t skip_field(uint32_t wire) {
        uint32_t n;
        switch (wire) {
        case wire_varint: return skip_varint() ? KEST_OK : KEST_ERR_MALFORMED;
        case wire_fixed64: return skip(8) ? KEST_OK : KEST_ERR_MALFORMED;
        case wire_len: return extent(n) ? (p += n, KEST_OK) : KEST_ERR_MALFORMED;
        case wire_fixed32: return skip(4) ? KEST_OK : KEST_ERR_MALFORMED;
        default: return KEST_ERR_WIRE_TYPE;
        }
    }
};

}  // namespace kest::core
