// The codec engine. A message is described once, as a compile-time list of its
// fields (schema<R>::fields); the four operations below are generated from that
// list, one fully specialised instance per message: tags are constants, the field
// walk is unrolled, and the presence bit of a field is its position in the list.
#pragma once

#include "core/wire.hpp"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kest::core {

template <class R>
struct schema;  // specialised by each message: `using fields = field_list<...>;`

template <class... F>
struct field_list {
    static constexpr size_t size = sizeof...(F);
};

template <class R>
using fields_of = typename schema<R>::fields;
template <class R>
using presence_t = decltype(R::present);

template <class M>
struct member_traits;
template <class C, class V>
struct member_traits<V C::*> {
    using record = C;
    using value = V;
};
template <auto M>
using record_of = typename member_traits<decltype(M)>::record;
template <auto M>
using value_of = typename member_traits<decltype(M)>::value;

// The member a field lives in must belong to `R` and have the type its kind stores.
template <class R, auto M, class T>
inline constexpr bool member_is = std::is_same_v<record_of<M>, R> && std::is_same_v<value_of<M>, T>;

template <uint32_t Number, uint32_t Wire>
struct wire_tag {
    static_assert(Number >= 1 && Number <= 2047, "field numbers run from 1 to 2047 (tags of at most two bytes)");
    static constexpr uint32_t number = Number;
    static constexpr uint32_t wire = Wire;
    static constexpr uint32_t value = Number << 3 | Wire;
    static constexpr uint32_t size = varint_size(value);
};

// Hands the field pack and its indexes to `fn`: the hot operations expand it with
// fold expressions, so every field's code is inlined in record order.
#define KEST_INLINE_LAMBDA __attribute__((always_inline))
template <class R, class Fn>
KEST_INLINE constexpr decltype(auto) with_fields(Fn &&fn) {
    return fn(fields_of<R>{}, std::make_index_sequence<fields_of<R>::size>{});
}

// Calls fn.template operator()<Field, Index>() for every field, in record order.
template <class R, class Fn>
constexpr void for_each_field(Fn &&fn) {
    [&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) {
        (fn.template operator()<F, I>(), ...);
    }(fields_of<R>{}, std::make_index_sequence<fields_of<R>::size>{});
}

template <class R, size_t I>
inline constexpr presence_t<R> bit = static_cast<presence_t<R>>(uint64_t{1} << I);

template <class R>
inline constexpr presence_t<R> field_mask = [] {
    constexpr size_t n = fields_of<R>::size;
    return static_cast<presence_t<R>>(n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1);
}();

// What a decode call hands to every field.
struct Decoding {
    kest_alloc_fn alloc;
    void *ctx;
    uint32_t flags;
    bool zero_copy;
    bool copy_without_alloc;
};

struct Releasing {
    kest_free_fn release;
    void *ctx;
    bool zero_copy;
};

template <class R>
uint64_t size_of(const R &m, bool zero_copy);
template <class R>
uint64_t bound(const R &m);
template <class R, class O>
void write_fields(const R &m, O &o);
template <class R>
int32_t decode_fields(R &m, In in, const Decoding &d);
template <class R>
int32_t duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx);
template <class R>
void release(R &m, const Releasing &r);

// A bound that would not fit in 64 bits: a stray length in a record makes a bound
// useless, never small. Terms below 2^57 cannot overflow a sum of 64 of them.
inline constexpr uint64_t no_bound = ~uint64_t{0};

// ---- field kinds -----------------------------------------------------------
// Each kind gives its size, its encoding, and a bound on its size: `most` bytes plus
// what `more` finds at run time (payload lengths, runs).

// How one scalar kind looks on the wire.
template <class T, const char *Name>
struct varint_kind {
    using type = T;
    static constexpr uint32_t wire = wire_varint, max = varint_size(~T{0});
    static constexpr bool exact = false;
    static constexpr const char *name = Name;
    KEST_INLINE static uint32_t size(T v) { return varint_size(v); }
    KEST_INLINE static uint8_t *put(uint8_t *p, T v) { return put_varint(p, v); }
    KEST_INLINE static bool get(In &in, T &v) {
        if constexpr (sizeof(T) == 4)
            return in.u32(v);
        else
            return in.u64(v);
    }
};
inline constexpr char uint32_name[] = "uint32", uint64_name[] = "uint64";
using varint32_kind = varint_kind<uint32_t, uint32_name>;
using varint64_kind = varint_kind<uint64_t, uint64_name>;
struct bool_kind {
    using type = bool;
    static constexpr uint32_t wire = wire_varint, max = 1;
    static constexpr bool exact = true;
    static constexpr const char *name = "bool";
    KEST_INLINE static uint32_t size(bool) { return 1; }
    KEST_INLINE static uint8_t *put(uint8_t *p, bool v) {
        *p = v ? 1 : 0;
        return p + 1;
    }
    KEST_INLINE static bool get(In &in, bool &v) {
        uint32_t x;
        if (!in.u32(x)) return false;
        v = x != 0;
        return true;
    }
};
struct fixed32_kind {
    using type = uint32_t;
    static constexpr uint32_t wire = wire_fixed32, max = 4;
    static constexpr bool exact = true;
    static constexpr const char *name = "fixed32";
    KEST_INLINE static uint32_t size(uint32_t) { return 4; }
    KEST_INLINE static uint8_t *put(uint8_t *p, uint32_t v) { return put_fixed32(p, v); }
    KEST_INLINE static bool get(In &in, uint32_t &v) { return in.fixed32(v); }
};

template <uint32_t N, auto M, class Kind>
struct scalar {
    using R = record_of<M>;
    static_assert(member_is<R, M, typename Kind::type>, "the member's type does not match its kind");
    using members = std::tuple<typename Kind::type>;
    using tag = wire_tag<N, Kind::wire>;
    using kind = Kind;
    static constexpr bool owns_memory = false;
    static constexpr auto member = M;

    KEST_INLINE static uint64_t size(const R &m, bool) { return tag::size + Kind::size(m.*M); }
    static constexpr uint64_t most = tag::size + Kind::max;
    KEST_INLINE static uint64_t more(const R &, bool) { return 0; }
    template <class O>
    KEST_INLINE static void encode(const R &m, O &o) {
        o.template put<tag::size + Kind::max, Kind::exact>([&](uint8_t *p) { return Kind::put(put_tag<tag::value>(p), m.*M); },
                                              [&] { return size(m, false); });
    }
    KEST_INLINE static int32_t decode(R &m, In &in, const Decoding &) {
        return Kind::get(in, m.*M) ? KEST_OK : KEST_ERR_MALFORMED;
    }
    KEST_INLINE static bool duplicate(R &dst, const R &src, kest_alloc_fn, void *, int32_t &) {
        dst.*M = src.*M;
        return true;
    }
    KEST_INLINE static void release(R &, const Releasing &) {}
};

template <uint32_t N, auto M>
using u32 = scalar<N, M, varint32_kind>;
template <uint32_t N, auto M>
using u64 = scalar<N, M, varint64_kind>;
template <uint32_t N, auto M>
using boolean = scalar<N, M, bool_kind>;
template <uint32_t N, auto M>
using fixed32 = scalar<N, M, fixed32_kind>;

template <uint32_t N, auto Ptr, auto Len>
struct bytes {
    using R = record_of<Ptr>;
    static_assert(member_is<R, Ptr, const uint8_t *> && member_is<R, Len, uint64_t>,
                  "a byte string is a `const uint8_t *` and a `uint64_t` length of one record");
    using members = std::tuple<const uint8_t *, uint64_t>;
    using tag = wire_tag<N, wire_len>;
    struct kind {
        static constexpr const char *name = "bytes";
    };
    static constexpr bool owns_memory = true;
    static constexpr auto member = Ptr;
    static constexpr auto length = Len;

    // The length prefix carries the low 32 bits of the length.
    KEST_INLINE static uint64_t size(const R &m, bool zero_copy) {
        return tag::size + varint_size(static_cast<uint32_t>(m.*Len)) + (zero_copy ? 0 : m.*Len);
    }
    static constexpr uint64_t most = tag::size + 5;
    KEST_INLINE static uint64_t more(const R &m, bool) { return m.*Len; }
    template <class O>
    KEST_INLINE static void encode(const R &m, O &o) {
        o.template put<tag::size + 5>(
            [&](uint8_t *p) { return put_varint(put_tag<tag::value>(p), static_cast<uint32_t>(m.*Len)); },
            [&] { return tag::size + varint_size(static_cast<uint32_t>(m.*Len)); });
        o.payload(m.*Ptr, m.*Len);
    }
    KEST_INLINE static int32_t decode(R &m, In &in, const Decoding &d) {
        if (m.*Ptr) return KEST_ERR_MALFORMED;  // a byte string may arrive once
        if (d.copy_without_alloc) return KEST_ERR_NO_MEMORY;
        uint32_t n;
        if (!in.extent(n)) return KEST_ERR_MALFORMED;
        const uint8_t *data = in.p;
        if (!d.zero_copy) {
            void *block = d.alloc(n, d.ctx);
            if (!block) return KEST_ERR_NO_MEMORY;
            copy_bytes(static_cast<uint8_t *>(block), in.p, n);
            data = static_cast<const uint8_t *>(block);
        }
        m.*Ptr = data;
        m.*Len = n;
        in.p += n;
        return KEST_OK;
    }
    static bool duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx, int32_t &rc) {
        const uint64_t n = src.*Len;
        dst.*Ptr = nullptr;
        dst.*Len = 0;
        if (n == 0) return true;
        void *block = alloc ? alloc(n, ctx) : nullptr;
        if (!block) {
            rc = KEST_ERR_NO_MEMORY;
            return false;
        }
        copy_bytes(static_cast<uint8_t *>(block), src.*Ptr, n);
        dst.*Ptr = static_cast<const uint8_t *>(block);
        dst.*Len = n;
        return true;
    }
    static void release(R &m, const Releasing &r) {
        if (r.zero_copy || !(m.*Ptr)) return;
        r.release(const_cast<uint8_t *>(m.*Ptr), r.ctx);
        m.*Ptr = nullptr;
    }
};

// A run of embedded messages, each element a record of its own message.
template <uint32_t N, auto Array, auto Count>
struct repeated {
    using R = record_of<Array>;
    using E = std::remove_pointer_t<value_of<Array>>;
    static_assert(member_is<R, Array, E *> && member_is<R, Count, uint32_t>,
                  "a run is an element pointer and a `uint32_t` count of one record");
    static_assert(requires { typename schema<E>::fields; }, "a run's element needs a description of its own");
    using members = std::tuple<E *, uint32_t>;
    using tag = wire_tag<N, wire_len>;
    struct kind {
        static constexpr const char *name = "repeated";
    };
    static constexpr bool owns_memory = true;
    static constexpr auto member = Array;
    static constexpr auto count = Count;
    using element = E;

    // Each length prefix counts the element's zero-copy payloads too.
    static uint64_t size(const R &m, bool zero_copy) {
        uint64_t total = 0;
        for (uint32_t i = 0; i < m.*Count; ++i) {
            const E &e = (m.*Array)[i];
            const uint64_t whole = size_of(e, false);
            total += tag::size + varint_size(static_cast<uint32_t>(whole)) +
                     (zero_copy ? size_of(e, true) : whole);
        }
        return total;
    }
    static constexpr uint64_t most = 0;
    static uint64_t more(const R &m, bool present) {
        uint64_t b = 0, any = 0;  // elements of at most 2^24 bytes keep the sum below 2^57
        for (uint32_t i = 0; present && i < m.*Count; ++i) {
            const uint64_t e = bound((m.*Array)[i]);
            any |= e;
            b += tag::size + 5 + e;
        }
        return any >> 24 ? no_bound : b;
    }
    // An element whose bound fits a one-byte length is written first and its length
    // after, so it is walked once. So is one whose bound fits two bytes, where the room
    // holds it and no segment points into the buffer: should its length need two bytes,
    // its bytes move up by one. A larger one is sized first. Where the room holds
    // the bound, its fields are written without checking the room again.
    template <class O>
    static void encode(const R &m, O &o) {
        const E *const array = m.*Array;  // read once: a byte written to the buffer might alias the record
        const uint32_t count = m.*Count;
        for (uint32_t i = 0; i < count; ++i) {
            const E &e = array[i];
            const uint64_t limit = bound(e);
            const uint64_t ref = o.ref;
            auto at = decltype(o.reserve()){};
            if (limit < 0x80) {
                o.template put<tag::size, true>([](uint8_t *p) { return put_tag<tag::value>(p); }, [] { return tag::size; });
                at = o.reserve();
            } else {
                if constexpr (!std::is_same_v<O, ::kest::core::Count>) {  // the writer, not the member
                    if (limit < 0x4000 && !o.track && (std::is_same_v<O, Unchecked> || o.room() >= tag::size + 2 + limit)) {
                        auto &u = static_cast<Unchecked &>(o);  // what encode made, viewed as an Out
                        if constexpr (std::is_same_v<O, Out>) u.begin();
                        write_moving(e, u);
                        if constexpr (std::is_same_v<O, Out>) u.end();
                        continue;
                    }
                }
                const uint64_t whole = size_of(e, false);
                o.template put<tag::size + 5>(
                    [&](uint8_t *p) { return put_varint(put_tag<tag::value>(p), static_cast<uint32_t>(whole)); },
                    [&] { return tag::size + varint_size(static_cast<uint32_t>(whole)); });
            }
            if (o.track) o.close_run();
            const uintptr_t frame = o.enter_element();
            const uint64_t start = o.position();
            if constexpr (std::is_same_v<O, Out>) {
                if (o.room() >= limit) {
                    auto &u = static_cast<Unchecked &>(o);  // what encode made, viewed as an Out
                    u.begin();
                    write_fields(e, u);
                    u.end();
                } else {
                    write_fields(e, o);
                }
            } else {
                write_fields(e, o);
            }
            if (o.track) o.close_run();
            o.leave_element(frame);
            if (limit < 0x80) o.patch(at, static_cast<uint8_t>(o.position() - start + o.ref - ref));
        }
    }
    // Tag, one byte kept for the length, the element; moved up by one if its length
    // needs two bytes, so nothing is ever stored past the encoding's end.
    KEST_INLINE static void write_moving(const E &e, Unchecked &u) {
        const uint64_t ref = u.ref;
        u.p = put_tag<tag::value>(u.p);
        uint8_t *const at = u.p++;
        write_fields(e, u);
        const uint64_t written = static_cast<uint64_t>(u.p - at - 1), whole = written + u.ref - ref;
        if (whole >= 0x80) {
            std::memmove(at + 2, at + 1, written);
            ++u.p;
        }
        put_varint(at, static_cast<uint32_t>(whole));
    }
    // Called after the run's first tag. The run is counted and framed first, so
    // malformed input costs no allocation; then one zeroed array takes it all.
    static int32_t decode(R &m, In &in, const Decoding &d) {
        if (m.*Array) return KEST_ERR_MALFORMED;  // a second run
        if (!d.alloc) return KEST_ERR_NO_MEMORY;
        In scan = in;
        uint32_t count = 0;
        for (;;) {
            uint32_t n;
            if (!scan.extent(n)) return KEST_ERR_MALFORMED;
            scan.p += n;
            ++count;
            if (scan.done()) break;
            In next = scan;
            uint32_t t;
            if (!next.u32(t)) return KEST_ERR_MALFORMED;
            if (t >> 3 != N) break;
            // Same field with another wire type: refused here, before anything is allocated.
            if ((t & 7) != wire_len) return KEST_ERR_FIELD_TYPE;
            scan = next;
        }
        const uint64_t block = uint64_t{count} * sizeof(E);
        if constexpr (sizeof(size_t) < sizeof(block))
            if (static_cast<size_t>(block) != block) return KEST_ERR_NO_MEMORY;  // beyond a 32-bit address space
        auto *array = static_cast<E *>(d.alloc(block, d.ctx));
        if (!array) return KEST_ERR_NO_MEMORY;
        std::memset(static_cast<void *>(array), 0, block);
        m.*Array = array;
        m.*Count = count;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t tag = 0, n = 0;
            if (i) in.u32(tag);  // checked while counting, like the lengths
            in.u32(n);
            const int32_t rc = decode_fields(array[i], In{in.p, in.p + n}, d);  // the array came zeroed
            if (rc != KEST_OK) return rc;
            in.p += n;
        }
        return KEST_OK;
    }
    static bool duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx, int32_t &rc) {
        const uint32_t count = src.*Count;
        dst.*Array = nullptr;
        dst.*Count = 0;
        if (count == 0) return true;
        auto *array = static_cast<E *>(alloc ? alloc(uint64_t{count} * sizeof(E), ctx) : nullptr);
        if (!array) {
            rc = KEST_ERR_NO_MEMORY;
            return false;
        }
        // Every element is copied even after one fails, so the copy stays complete.
        for (uint32_t i = 0; i < count; ++i)
            if (core::duplicate(array[i], (src.*Array)[i], alloc, ctx) != KEST_OK) rc = KEST_ERR_NO_MEMORY;
        dst.*Array = array;
        dst.*Count = count;
        return true;
    }
    static void release(R &m, const Releasing &r) {
        if (!(m.*Array)) return;
        for (uint32_t i = 0; i < m.*Count; ++i) core::release((m.*Array)[i], r);
        r.release(m.*Array, r.ctx);
        m.*Array = nullptr;
        m.*Count = 0;
    }
};

// ---- the four operations ---------------------------------------------------

template <class R>
inline constexpr bool owns_memory = [] {
    bool any = false;
    for_each_field<R>([&]<class F, size_t>() { any = any || F::owns_memory; });
    return any;
}();

template <class R>
KEST_INLINE uint64_t size_of(const R &m, bool zero_copy) {
    const presence_t<R> present = m.present;
    return with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>)
                              KEST_INLINE_LAMBDA {
                                  return (uint64_t{0} + ... + ((present & bit<R, I>) ? F::size(m, zero_copy) : 0));
                              });
}

template <class R>
KEST_INLINE uint64_t bound(const R &m) {
    const presence_t<R> present = m.present;
    return with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>)
                              KEST_INLINE_LAMBDA {
                                  uint64_t b = (uint64_t{0} + ... + F::most), any = 0, x;
                                  ((x = F::more(m, present & bit<R, I>), any |= x, b += x), ...);
                                  return any >> 57 ? no_bound : b;
                              });
}

template <class R, class O>
KEST_INLINE void write_fields(const R &m, O &o) {
    const presence_t<R> present = m.present;
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        ((present & bit<R, I> ? F::encode(m, o) : void()), ...);
    });
}

template <class R>
[[gnu::flatten]] uint64_t encode(const R &m, uint8_t *buf, uint64_t buflen, kest_segment *segs, uint32_t *nsegs,
                                 uint32_t flags) {
    const bool zero_copy = flags & KEST_FLAG_ZERO_COPY;
    if (buflen == 0 && !nsegs) return size_of(m, zero_copy);
    auto run = [&](auto &o) {
        write_fields(m, o);
        if (o.track) {
            o.close_run();
            *nsegs = o.nseg;
        }
        return o.position();
    };
    const Out start{buf, buflen, segs, nsegs ? *nsegs : 0, nsegs != nullptr, zero_copy};
    if (buflen == 0) {
        Count counting{start};
        return run(counting);
    }
    // Always an Unchecked, written through as an Out where the room is not known to hold
    // the rest, so that an element that fits switches over without a copy.
    Unchecked w{start};
    if (buflen >= bound(m)) {
        w.begin();
        return run(w);
    }
    return run(static_cast<Out &>(w));
}

namespace detail {
constexpr int32_t pending = 1;  // more input to read

template <class R, class F, size_t I>
KEST_INLINE int32_t decode_field(R &m, In &in, const Decoding &d, presence_t<R> &present) {
    const int32_t rc = F::decode(m, in, d);
    if (rc == KEST_OK) present |= bit<R, I>;
    return rc;
}

// One field of the in-order pass: its constant tag bytes are compared once.
template <class R, class F, size_t I>
KEST_INLINE void decode_in_order(R &m, In &in, const Decoding &d, presence_t<R> &present, int32_t &rc) {
    if constexpr (I > 0)  // the first field always finds the decode pending
        if (rc != pending) return;
    if (!in.template at_tag<F::tag::value>()) return;
    if (const int32_t err = decode_field<R, F, I>(m, in, d, present)) rc = err;
}

template <class R>
KEST_INLINE int32_t decode_any(R &m, In &in, const Decoding &d, presence_t<R> &present, uint32_t tag) {
    const uint32_t number = tag >> 3, wire = tag & 7;
    int32_t rc = pending;
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        (void)([&]() KEST_INLINE_LAMBDA {
            if (number != F::tag::number) return false;
            rc = wire == F::tag::wire ? decode_field<R, F, I>(m, in, d, present) : KEST_ERR_FIELD_TYPE;
            return true;
        }() || ...);
    });
    return rc == pending ? in.skip_field(wire) : rc;
}
}  // namespace detail

// Fields arrive in ascending order from any encoder that writes them so: one pass
// through the list takes them all. Whatever breaks that order (unknown fields, a
// repeated scalar, another writer's order) goes to the general loop. The record's
// field members are zero and `present` holds only its spare bits.
template <class R>
KEST_INLINE int32_t decode_fields(R &m, In in, const Decoding &d) {
    presence_t<R> present = m.present;
    int32_t rc = detail::pending;
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        (detail::decode_in_order<R, F, I>(m, in, d, present, rc), ...);
    });
    if (rc == detail::pending && in.done()) rc = KEST_OK;
    while (rc == detail::pending) {
        uint32_t tag;
        if (!in.u32(tag)) {
            rc = KEST_ERR_MALFORMED;
            break;
        }
        rc = detail::decode_any(m, in, d, present, tag);
        if (rc == KEST_OK && !in.done()) rc = detail::pending;
    }
    m.present = present;
    return rc;
}

template <class R>
[[gnu::flatten]] int32_t decode(R &m, const uint8_t *buf, uint64_t len, kest_alloc_fn alloc, void *ctx,
                                uint32_t flags) {
    static_assert(std::is_standard_layout_v<R>);
    std::memset(static_cast<void *>(&m), 0, offsetof(R, present));  // every field member: `present` is last
    m.present &= static_cast<presence_t<R>>(~field_mask<R>);
    if (len == 0) return KEST_OK;
    const bool zero_copy = flags & KEST_FLAG_ZERO_COPY;
    const bool copy_without_alloc = owns_memory<R> && !zero_copy && !alloc;  // never for a plain message
    return decode_fields(m, In{buf, buf + len}, Decoding{alloc, ctx, flags, zero_copy, copy_without_alloc});
}

// A field's bit is copied with it; a scalar's always is.
template <class R, class F, size_t I>
KEST_INLINE void duplicate_field(R &dst, const R &src, kest_alloc_fn alloc, void *ctx, presence_t<R> &present,
                                 int32_t &rc) {
    if constexpr (F::owns_memory) {
        if (!F::duplicate(dst, src, alloc, ctx, rc)) return;
    } else {
        F::duplicate(dst, src, alloc, ctx, rc);
    }
    present |= src.present & bit<R, I>;
}

template <class R>
int32_t duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx) {
    int32_t rc = KEST_OK;
    presence_t<R> present = dst.present & static_cast<presence_t<R>>(~field_mask<R>);
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        (duplicate_field<R, F, I>(dst, src, alloc, ctx, present, rc), ...);
    });
    dst.present = present;
    return rc;
}

template <class R>
void release(R &m, const Releasing &r) {
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>)
                       KEST_INLINE_LAMBDA { (F::release(m, r), ...); });
}

// ---- what a description must satisfy ------------------------------------------

template <class... F>
consteval bool numbers_ascend(field_list<F...>) {
    [[maybe_unused]] uint32_t last = 0;  // unused in a message without fields
    return ((F::tag::number > std::exchange(last, F::tag::number)) && ...);
}

template <class R, class... F>
consteval bool members_of(field_list<F...>) {
    return (std::is_same_v<typename F::R, R> && ...);
}

// Positional initialisation fills members in declaration order: `present` takes the
// marker only if the described members are exactly the members before it.
template <class R, class... F>
consteval bool present_follows_fields(field_list<F...>) {
    constexpr auto marker = static_cast<presence_t<R>>(~presence_t<R>{});
    const R r = std::apply([](auto... v) { return R{v..., marker}; }, std::tuple_cat(typename F::members{}...));
    return r.present == marker;
}

// A description that does not fit its record does not compile; each field kind
// checks its own members' types.
template <class R>
consteval bool check_description() {
    static_assert(std::is_standard_layout_v<R> && std::is_unsigned_v<presence_t<R>>);
    static_assert(members_of<R>(fields_of<R>{}), "every field must be a member of the described record");
    static_assert(numbers_ascend(fields_of<R>{}), "field numbers must be strictly ascending");
    static_assert(fields_of<R>::size <= 8 * sizeof(presence_t<R>), "`present` has fewer bits than there are fields");
    static_assert(present_follows_fields<R>(fields_of<R>{}),
                  "the record must hold the described members, in order, then `present`");
    return true;
}

}  // namespace kest::core

#define KEST_EXPORT_ extern "C" __attribute__((visibility("default")))

// The four exported operations of a message, all from its schema, named prefix<msg>_*.
#define KEST_DEFINE_OPERATIONS(prefix, msg)                                                      \
    static_assert(::kest::core::check_description<msg>());                                       \
    KEST_EXPORT_ uint64_t prefix##msg##_encode_ext(const msg *m, uint8_t *buf, uint64_t buflen,  \
                                                  kest_segment *segs, uint32_t *nsegs,           \
                                                  uint32_t flags) {                              \
        return ::kest::core::encode(*m, buf, buflen, segs, nsegs, flags);                        \
    }                                                                                            \
    KEST_EXPORT_ int32_t prefix##msg##_decode_ext(msg *m, const uint8_t *buf, uint64_t buflen,   \
                                                 kest_alloc_fn alloc, void *alloc_ctx,           \
                                                 uint32_t flags) {                               \
        return ::kest::core::decode(*m, buf, buflen, alloc, alloc_ctx, flags);                   \
    }                                                                                            \
    KEST_EXPORT_ int32_t prefix##msg##_duplicate(msg *dst, const msg *src, kest_alloc_fn alloc,  \
                                                void *alloc_ctx) {                               \
        return ::kest::core::duplicate(*dst, *src, alloc, alloc_ctx);                            \
    }                                                                                            \
    KEST_EXPORT_ void prefix##msg##_free_ext(msg *m, kest_free_fn release, void *release_ctx,    \
                                            uint32_t flags) {                                    \
        ::kest::core::release(*m, {release, release_ctx, (flags & KEST_FLAG_ZERO_COPY) != 0});   \
    }

// A message that owns no memory takes no callbacks and no flags.
#define KEST_DEFINE_PLAIN_OPERATIONS(prefix, msg)                                                \
    static_assert(::kest::core::check_description<msg>() && !::kest::core::owns_memory<msg>);    \
    KEST_EXPORT_ uint64_t prefix##msg##_encode_ext(const msg *m, uint8_t *buf, uint64_t buflen,  \
                                                  kest_segment *segs, uint32_t *nsegs) {         \
        return ::kest::core::encode(*m, buf, buflen, segs, nsegs, 0);                            \
    }                                                                                            \
    KEST_EXPORT_ int32_t prefix##msg##_decode_ext(msg *m, const uint8_t *buf, uint64_t buflen) { \
        return ::kest::core::decode(*m, buf, buflen, nullptr, nullptr, 0);                       \
    }                                                                                            \
    KEST_EXPORT_ int32_t prefix##msg##_duplicate(msg *dst, const msg *src) {                     \
        return ::kest::core::duplicate(*dst, *src, nullptr, nullptr);                            \
    }                                                                                            \
    KEST_EXPORT_ void prefix##msg##_free_ext(msg *) {}
