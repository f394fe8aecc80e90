// The codec engine. A message is described once, as a compile-time list of its
// fields (schema<R>::fields). Two things are made from that list: a row per field
// (table_of<R>), which generic routines walk for everything that is not on the hot
// path, and three straight-line walks per message (write, size, in-order read) for
// what is. An element of a run is reached through its message's table, so nesting
// adds a call, never a copy of the element's code.
#pragma once

#include "core/wire.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kest::core {

// What a field holds, one name per .proto type the engine knows.
enum class kind : uint8_t {
    uint32, uint64, boolean, fixed32, bytes, message,
    int32, int64, sint32, sint64, fixed64, sfixed32, sfixed64, float32, float64, enumeration
};

constexpr std::string_view proto_type_name(kind k) {
    constexpr std::string_view names[] = {"uint32", "uint64",  "bool",     "fixed32",  "bytes", "message",
                                          "int32",  "int64",   "sint32",   "sint64",   "fixed64", "sfixed32",
                                          "sfixed64", "float", "double",   "enum"};
    return names[static_cast<size_t>(k)];
}

template <class R>
struct schema;  // specialised by each message: `using fields = field_list<...>;`

// A schema may ask for speed over size (`static constexpr bool speed = true;`): decode
// then reads its varints, and byte strings with a one-byte length, inline, and each
// run's elements with a loop of their own.
template <class R>
inline constexpr bool speed = requires { requires schema<R>::speed; };

template <class... F>
struct field_list {
    static constexpr size_t size = sizeof...(F);
};

template <class R>
using fields_of = typename schema<R>::fields;
// `present` is one unsigned word, or for more than 64 fields an array of 64-bit words.
template <class R>
using presence_t = std::remove_extent_t<decltype(R::present)>;
template <class R>
inline constexpr bool wide = std::is_array_v<decltype(R::present)>;
template <size_t I, class... F>
auto pick(field_list<F...>) -> std::tuple_element_t<I, std::tuple<F...>>;
template <class R, size_t I>
using field_at = decltype(pick<I>(fields_of<R>{}));

template <class M>
struct member_traits;
template <class C, class V>
struct member_traits<V C::*> {
    using record = C;
    using value = V;
};
template <auto M>
using record_of = typename member_traits<std::remove_cv_t<decltype(M)>>::record;
template <auto M>
using value_of = typename member_traits<std::remove_cv_t<decltype(M)>>::value;

// The member a field lives in must belong to `R` and have the type its kind stores.
template <class R, auto M, class T>
inline constexpr bool member_is = std::is_same_v<record_of<M>, R> && std::is_same_v<value_of<M>, T>;

// A .proto name as a template argument.
template <size_t N>
struct fixed_name {
    char text[N];
    constexpr fixed_name(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

// A member and its offset: the straight-line walks use the first, the rows the second.
#define KEST_MEMBER(record, member) &record::member, static_cast<uint32_t>(offsetof(record, member))

template <uint32_t Number, uint32_t Wire>
struct wire_tag {
    static_assert(Number >= 1 && Number <= 536870911, "field numbers run from 1 to 536870911");
    static constexpr uint32_t number = Number;
    static constexpr uint32_t wire = Wire;
    static constexpr uint32_t value = Number << 3 | Wire;
    static constexpr uint32_t size = varint_size(value);
};

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
    return static_cast<presence_t<R>>(n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n % 64) - 1);
}();

// ---- rows ------------------------------------------------------------------------

struct Sink;
struct Tally;
struct Decoding;
struct table;
struct scalar_ops;

// A step of a walk that reads: where the input goes on, and the result so far.
struct Step {
    const uint8_t *p;
    int32_t rc;
};

struct row {
    uint32_t tag;     // field number << 3 | wire type
    uint32_t offset;  // of the member
    uint32_t aux;     // of a byte string's length, or of a run's count
    kind what;
    uint8_t tag_size;
    bool scalars;   // a run of `what`: packed when its tag says length-delimited
    uint8_t oneof;  // 1 + the index of its oneof in the message, or 0
    union {
        const table &(*element)();  // a run's element
        const scalar_ops *ops;    // a run of scalars' routines: only a library that has one links them
    };
    constexpr uint32_t number() const { return tag >> 3; }
};

struct table {
    const row *rows;
    uint32_t count;
    uint32_t present_offset;  // every field member lies before it
    uint8_t present_size;
    uint32_t record_size;
    const uint8_t *owning;  // the rows of byte strings and runs, which copy and release walk
    uint32_t owning_count;
    const uint64_t *implicit_rows;  // per 64 rows, those written when not zero or empty, whatever their bit
    uint8_t *(*write)(const void *m, uint8_t *p, uint8_t *end, Sink &s);
    uint64_t (*size)(const void *m, bool zero_copy, Tally *t);
    int32_t (*read)(void *m, In in, const Decoding &d);
};

template <class T>
KEST_INLINE T &member(void *m, uint32_t offset) {
    return *reinterpret_cast<T *>(static_cast<uint8_t *>(m) + offset);
}
template <class T>
KEST_INLINE const T &member(const void *m, uint32_t offset) {
    return *reinterpret_cast<const T *>(static_cast<const uint8_t *>(m) + offset);
}

// A sub-message's row has no count: it is one element while its pointer is set.
inline constexpr uint32_t no_count = UINT32_MAX;
KEST_INLINE uint32_t run_count(const row &r, const void *m) {
    return r.aux == no_count ? member<const void *>(m, r.offset) != nullptr : member<uint32_t>(m, r.aux);
}
KEST_INLINE void set_count(const row &r, void *m, uint32_t n) {
    if (r.aux != no_count) member<uint32_t>(m, r.aux) = n;
}

// A field's count in the straight-line walks: a byte string's length, a run's count, 1 for a set sub-message.
template <class F, class R>
KEST_INLINE uint64_t extent_of(const R &m) {
    if constexpr (F::single) return m.*F::member != nullptr;
    else return m.*F::count;
}
template <class F, class R>
KEST_INLINE void set_extent(R &m, uint64_t n) {
    if constexpr (!F::single) m.*F::count = static_cast<std::remove_reference_t<decltype(m.*F::count)>>(n);
}

// Word `w` of `present`: the bits of rows 64w to 64w + 63.
inline uint64_t load_present(const table &t, const void *m, uint32_t w = 0) {
    switch (t.present_size) {
    case 1: return member<uint8_t>(m, t.present_offset);
    case 2: return member<uint16_t>(m, t.present_offset);
    case 4: return member<uint32_t>(m, t.present_offset);
    default: return member<uint64_t>(m, t.present_offset + 8 * w);
    }
}
inline void store_present(const table &t, void *m, uint64_t v, uint32_t w = 0) {
    switch (t.present_size) {
    case 1: member<uint8_t>(m, t.present_offset) = static_cast<uint8_t>(v); break;
    case 2: member<uint16_t>(m, t.present_offset) = static_cast<uint16_t>(v); break;
    case 4: member<uint32_t>(m, t.present_offset) = static_cast<uint32_t>(v); break;
    default: member<uint64_t>(m, t.present_offset + 8 * w) = v;
    }
}
// Row i's bit: the first 64 in `low`, which a walk keeps in a register, the rest in the record.
inline void set_row_bit(const table &t, void *m, uint64_t &low, uint32_t i, bool on) {
    const uint64_t b = uint64_t{1} << (i & 63);
    if (i < 64) {
        low = on ? low | b : low & ~b;
    } else {
        const uint64_t w = load_present(t, m, i / 64);
        store_present(t, m, on ? w | b : w & ~b, i / 64);
    }
}
inline uint32_t present_words(const table &t) { return t.count > 64 ? (t.count + 63) / 64 : 1; }
// The field bits of word w; the rest are the caller's.
inline uint64_t mask_of(const table &t, uint32_t w = 0) {
    const uint32_t n = t.count - (t.count < 64 * w ? t.count : 64 * w);
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}
inline uint64_t wire_value(const row &r, const void *m);

// The fields of rows 64w to 64w + 63 a writer puts on the wire: the set bits, and the implicit fields by value.
inline uint64_t wire_present(const table &t, const void *m, uint32_t w = 0) {
    const uint64_t implicit = t.implicit_rows[w];
    uint64_t present = load_present(t, m, w) & ~implicit;
    for (uint32_t i = 0; implicit && i < 64 && 64 * w + i < t.count; ++i) {  // (a 64-bit count of zeros is a libgcc call on 32-bit ARM)
        const row &r = t.rows[64 * w + i];
        if (!(implicit >> i & 1)) continue;
        const bool set = r.what == kind::bytes ? member<uint64_t>(m, r.aux) != 0 : wire_value(r, m) != 0;
        present |= uint64_t{set} << i;
    }
    return present;
}

// ---- writing: the straight-line writer's state ------------------------------------

// What the straight-line writer keeps beside its pointer: touched only by payloads
// in zero-copy mode and by the segments of a caller who asked for them.
struct Sink {
    kest_segment *segs;
    uint32_t cap;
    bool track;
    bool zero_copy;
    uint32_t nseg = 0;
    uint8_t *run = nullptr;  // start of the buffer run not yet covered by a segment
    uint64_t ref = 0;        // payload bytes sent by reference

    KEST_INLINE void segment(const uint8_t *base, uint64_t len) {
        if (nseg < cap) segs[nseg] = kest_segment{base, len};
        ++nseg;
    }
    KEST_INLINE void close_run(uint8_t *p) {
        if (p > run) segment(run, static_cast<uint64_t>(p - run));
        run = p;
    }
};

// What a size query with a segment count adds to the walk that sizes: the segments so
// far, where the last one ended (a run is open while the size passes it), and the
// payload bytes that zero-copy mode leaves out of the buffer.
struct Tally {
    uint32_t n = 0;
    uint64_t mark = 0;
    uint64_t payload = 0;

    // The answer to a size query with a segment count: the buffer's bytes, and the
    // segments they and the payloads make.
    uint64_t answer(uint64_t total, uint32_t *nsegs) const {
        *nsegs = n + (total > mark);
        return total - payload;
    }
};

// The writer compares its position with the end once per this many bytes of scalars.
inline constexpr uint32_t slop = 32;
// Encodings up to this long are written into scratch on the stack first.
inline constexpr uint32_t scratch_max = 256;

// Room for `fixed` bytes and then `more`, without an overflow for any `more`.
KEST_INLINE bool fits(const uint8_t *p, const uint8_t *end, uint64_t fixed, uint64_t more) {
    const auto room = static_cast<uint64_t>(end - p);
    return room >= fixed && room - fixed >= more;
}


// A payload after its length prefix.
KEST_INLINE uint8_t *put_payload(uint8_t *p, const uint8_t *src, uint64_t n, Sink &s) {
    if (!s.zero_copy) {
        copy_bytes(p, src, n);
        return p + n;
    }
    s.ref += n;
    // Without a segment count a zero-copy payload is neither written nor counted.
    if (n != 0 && s.track) {
        s.segment(s.run, static_cast<uint64_t>(p - s.run));
        s.segment(src, n);
        s.run = p;
    }
    return p;
}


// ---- reading ---------------------------------------------------------------------

// As protobuf's readers: deeper input is refused, so that a message that contains itself
// cannot take the stack.
inline constexpr uint32_t max_depth = 100;

// The field numbers (mod 64) met more than once from a message's first run of values to its
// end, found in one pass, so that each run of the message need not look ahead for itself.
struct Later {
    const uint8_t *end = nullptr;  // of the message looked at: the elements of a run end apart
    uint64_t once = 0, more = 0;
};

// What a decode call hands to every field.
struct Decoding {
    kest_alloc_fn alloc;
    void *ctx;
    uint32_t flags;
    bool zero_copy;
    bool copy_without_alloc;
    uint32_t depth = max_depth;  // levels of nesting left
    Later *later = nullptr;  // one per level of nesting
};

struct Releasing {
    kest_free_fn release;
    void *ctx;
    bool zero_copy;
};

// ---- field kinds -----------------------------------------------------------------

// How a kind meets the wire. `raw` is what a read gives (a varint's low bits, or the
// fixed bytes); `to_wire` is what is written: an int32's sign reaches all 64 bits, as
// protobuf writes it, and a sint is zigzagged so that small magnitudes stay short.
template <kind K>
struct scalar_kind {
    static constexpr bool wide = K == kind::uint64 || K == kind::int64 || K == kind::sint64 || K == kind::fixed64 ||
                                 K == kind::sfixed64 || K == kind::float64;
    static constexpr bool zigzag = K == kind::sint32 || K == kind::sint64;
    static constexpr uint32_t wire = K == kind::bytes || K == kind::message                        ? wire_len
                                     : K == kind::fixed32 || K == kind::sfixed32 || K == kind::float32 ? wire_fixed32
                                     : K == kind::fixed64 || K == kind::sfixed64 || K == kind::float64 ? wire_fixed64
                                                                                                       : wire_varint;
    using raw = std::conditional_t<wide, uint64_t, uint32_t>;
    using type = typename decltype([] {
        if constexpr (K == kind::boolean) return std::type_identity<bool>{};
        else if constexpr (K == kind::float32) return std::type_identity<float>{};
        else if constexpr (K == kind::float64) return std::type_identity<double>{};
        else if constexpr (K == kind::uint64 || K == kind::fixed64) return std::type_identity<uint64_t>{};
        else if constexpr (wide) return std::type_identity<int64_t>{};
        else if constexpr (K == kind::uint32 || K == kind::fixed32) return std::type_identity<uint32_t>{};
        else return std::type_identity<int32_t>{};
    }())::type;
    static constexpr uint32_t max = wire == wire_fixed32   ? 4
                                    : wire == wire_fixed64 ? 8
                                    : K == kind::boolean   ? 1
                                    : wide || K == kind::int32 || K == kind::enumeration ? 10
                                                                                         : 5;
    KEST_INLINE static auto to_wire(type v) {
        if constexpr (K == kind::boolean)
            return uint32_t{v};
        else if constexpr (K == kind::int32 || K == kind::enumeration)
            return static_cast<uint64_t>(static_cast<int64_t>(v));
        else if constexpr (zigzag)
            return static_cast<raw>(static_cast<raw>(v) << 1 ^ static_cast<raw>(v >> (8 * sizeof(raw) - 1)));
        else
            return std::bit_cast<raw>(v);
    }
    KEST_INLINE static type from_wire(raw r) {
        if constexpr (K == kind::boolean)
            return r != 0;
        else if constexpr (zigzag)
            return std::bit_cast<type>(static_cast<raw>(r >> 1 ^ (raw{0} - (r & 1))));
        else
            return std::bit_cast<type>(r);
    }
    KEST_INLINE static uint32_t size(type v) {
        if constexpr (wire == wire_varint) return varint_size(to_wire(v));
        else return max;
    }
    KEST_INLINE static uint8_t *put(uint8_t *p, type v) {
        if constexpr (K == kind::boolean) {
            *p = v ? 1 : 0;
            return p + 1;
        } else if constexpr (wire == wire_varint) {
            return put_varint(p, to_wire(v));
        } else if constexpr (wire == wire_fixed32) {
            return put_fixed32(p, to_wire(v));
        } else {
            return put_fixed64(p, to_wire(v));
        }
    }
};

// Calls fn.template operator()<K>() for the scalar kind `k`: the rows' one switch.
template <class Fn>
KEST_INLINE decltype(auto) visit_scalar(kind k, Fn &&fn) {
    switch (k) {
    case kind::boolean: return fn.template operator()<kind::boolean>();
    case kind::int32:
    case kind::enumeration: return fn.template operator()<kind::int32>();
    case kind::sint32: return fn.template operator()<kind::sint32>();
    case kind::sint64: return fn.template operator()<kind::sint64>();
    case kind::uint64:
    case kind::int64:
    case kind::fixed64:
    case kind::sfixed64:
    case kind::float64: return fn.template operator()<kind::uint64>();  // 64 bits as they are
    default: return fn.template operator()<kind::uint32>();              // 32 bits as they are
    }
}

template <class R>
constexpr const table *table_ptr();  // defined below, once the walks are declared
// An element's table, reached through a function: a row may point at it before the table
// is complete, as in a message that holds itself.
template <class R>
const table &table_ref();
template <class R>
uint8_t *write_erased(const void *m, uint8_t *p, uint8_t *end, Sink &s);
template <class R>
uint8_t *write_body(const R &m, uint8_t *p, uint8_t *end, Sink &s);
template <class R>
uint64_t size_body(const R &m, bool zero_copy, Tally *t, uint32_t from = 0);

// One field: kind, number, .proto name, its member and, for a byte string or a run,
// the member beside it (length or count).
template <kind K, uint32_t N, fixed_name Name, auto M, uint32_t Off, auto Aux = nullptr, uint32_t AuxOff = 0>
struct field {
    using R = record_of<M>;
    using tag = wire_tag<N, scalar_kind<K>::wire>;
    static constexpr kind what = K;
    static constexpr bool single = K == kind::message && std::is_null_pointer_v<decltype(Aux)>;  // a sub-message
    static constexpr bool repeated = K == kind::message && !single;
    static constexpr bool scalars = false;
    static constexpr bool implicit_presence = false;
    static constexpr uint8_t oneof = 0;
    static constexpr std::string_view name = Name.view();
    static constexpr bool owns_memory = K == kind::bytes || K == kind::message;
    static constexpr auto member = M;
    static constexpr uint32_t offset = Off, aux_offset = AuxOff;
    static constexpr auto length = Aux;  // a byte string's
    static constexpr auto count = Aux;   // a run's
    using element = std::remove_pointer_t<value_of<M>>;  // a run's

    static constexpr bool members_match() {
        if constexpr (K == kind::bytes)
            return member_is<R, M, const uint8_t *> && member_is<R, Aux, uint64_t>;
        else if constexpr (K == kind::message && single)
            return std::is_pointer_v<value_of<M>>;
        else if constexpr (K == kind::message)
            return std::is_pointer_v<value_of<M>> && member_is<R, Aux, uint32_t>;
        else
            return member_is<R, M, typename scalar_kind<K>::type>;
    }
    static_assert(members_match(), "the members do not match the kind: a scalar of its type, a byte string as a "
                                   "`const uint8_t *` and a `uint64_t` length, a run as an element pointer and a "
                                   "`uint32_t` count, a sub-message as a pointer");

    static constexpr row make_row() {
        if constexpr (K == kind::message)
            return {tag::value, Off, single ? no_count : AuxOff, K, tag::size, false, 0, {.element = &table_ref<element>}};
        else
            return {tag::value, Off, AuxOff, K, tag::size, false, 0, {.element = nullptr}};
    }
};

// A proto3 field without `optional`: on the wire when it is not zero or empty,
// whatever its bit; a decode still sets the bit of what it read.
template <class F>
struct implicit : F {
    static_assert(F::what != kind::message, "a run has no implicit presence");
    static constexpr bool implicit_presence = true;
};

// A repeated scalar: an array (`T *`) and a `uint32_t` count beside it. Written packed
// (one length-delimited field) or as one field per value, as declared; read in either.
template <kind K, bool Packed, uint32_t N, fixed_name Name, auto M, uint32_t Off, auto Aux, uint32_t AuxOff>
struct repeated_field {
    using R = record_of<M>;
    using element = std::conditional_t<K == kind::bytes, kest_bytes, typename scalar_kind<K>::type>;
    using tag = wire_tag<N, Packed ? wire_len : scalar_kind<K>::wire>;
    static constexpr kind what = K;
    static constexpr bool repeated = true, single = false, scalars = true, implicit_presence = false, owns_memory = true;
    static constexpr uint8_t oneof = 0;
    static constexpr std::string_view name = Name.view();
    static constexpr auto member = M;
    static constexpr auto count = Aux;
    static constexpr uint32_t offset = Off, aux_offset = AuxOff;
    static_assert(K != kind::message && !(Packed && K == kind::bytes), "byte strings are not packed");
    static_assert(member_is<R, M, element *> && member_is<R, Aux, uint32_t>,
                  "the members do not match: a repeated scalar is an array of its type and a `uint32_t` count");
    static constexpr row make_row();
    static constexpr const scalar_ops *ops();
};

// A member of a oneof (1 + its index in the message): the arrival of another member
// clears its bit. A writer writes every member whose bit is set.
template <uint8_t G, class F>
struct oneof_member : F {
    static_assert(G != 0 && !F::repeated, "a oneof holds singular fields");
    static constexpr uint8_t oneof = G;
    static constexpr row make_row() {
        row r = F::make_row();
        r.oneof = G;
        return r;
    }
};

// The bits of the other members of field I's oneof.
template <class R, size_t I>
inline constexpr presence_t<R> oneof_others = [] {
    uint64_t mask = 0;
    for_each_field<R>([&]<class F, size_t J>() {
        if (F::oneof != 0 && F::oneof == field_at<R, I>::oneof && J != I) mask |= uint64_t{1} << J;
    });
    return static_cast<presence_t<R>>(mask);
}();

template <class F, size_t I, class R>
KEST_INLINE bool written(const R &m, presence_t<R> present) {
    if constexpr (!F::implicit_presence)
        return present & bit<R, I>;
    else if constexpr (F::what == kind::bytes)
        return m.*F::length != 0;
    else
        return scalar_kind<F::what>::to_wire(m.*F::member) != 0;
}

// A byte string's length and payload, after its tag.
[[gnu::noinline]] inline uint8_t *put_string(uint8_t *p, const uint8_t *src, uint64_t n, Sink &s) {
    return put_payload(put_varint(p, static_cast<uint32_t>(n)), src, n, s);
}

// A varint of more than one byte, out of line: the cursor goes in and comes back by
// value, so the caller's stays in its registers.
struct Far {
    const uint8_t *p;  // null when the input ends inside the varint
    uint64_t v;
};
template <class T>
[[gnu::noinline]] Far varint_far(const uint8_t *p, const uint8_t *end) {
    In in{p, end};
    T v = 0;
    bool ok;
    if constexpr (sizeof(T) == 4)
        ok = in.u32(v);
    else
        ok = in.u64(v);
    return {ok ? in.p : nullptr, v};
}

// A scalar in the in-order reader: varints of one or two bytes inline, the rest out
// of line; with speed, 32-bit ones of up to five bytes inline.
template <kind K, bool Fast, class T>
KEST_INLINE bool get_scalar(In &in, T &v) {
    using S = scalar_kind<K>;
    using W = typename S::raw;
    W r;
    if constexpr (S::wire == wire_fixed32) {
        if (!in.fixed32(r)) return false;
        v = S::from_wire(r);
        return true;
    } else if constexpr (S::wire == wire_fixed64) {
        if (!in.fixed64(r)) return false;
        v = S::from_wire(r);
        return true;
    } else {
        const uint8_t *const q = in.p;
        if constexpr (Fast && sizeof(W) == 4) {
            if (in.left() >= 5) [[likely]] {  // a longer varint goes out of line, from its start
                uint32_t x = q[0];
                if (x < 0x80) {
                    v = S::from_wire(x);
                    in.p = q + 1;
                    return true;
                }
                x &= 0x7F;
                for (unsigned i = 1; i < 5; ++i) {
                    const uint32_t b = q[i];
                    x |= (b & 0x7F) << (7 * i);
                    if (b < 0x80) {
                        v = S::from_wire(x);
                        in.p = q + i + 1;
                        return true;
                    }
                }
            }
        } else {
            if (in.left() >= 2) [[likely]] {  // one and two bytes inline: the common widths
                if (q[0] < 0x80) {
                    v = S::from_wire(q[0]);
                    in.p = q + 1;
                    return true;
                }
                if (q[1] < 0x80) {
                    v = S::from_wire(static_cast<W>((q[0] & 0x7Fu) | uint32_t{q[1]} << 7));
                    in.p = q + 2;
                    return true;
                }
            }
        }
        const Far f = varint_far<W>(in.p, in.end);
        if (!f.p) return false;
        in.p = f.p;
        v = S::from_wire(static_cast<W>(f.v));
        return true;
    }
}

// ---- the rows' routines: one copy for every message --------------------------------

// A run's element table: known at compile time with the element type.
template <class E>
KEST_INLINE const table &element_table(const row &r) {
    if constexpr (std::is_void_v<E>) return r.element();
    else return *table_ptr<E>();
}

// An element moved up by `by` bytes: the run up to its length prefix grows, and the
// segments of the buffer inside it move along; zero-copy payloads stay where they are.
[[gnu::noinline]] inline void shift_segments(Sink &s, uint32_t first, uint32_t by, const uint8_t *from,
                                             const uint8_t *to) {
    for (uint32_t i = first; i < std::min(s.nseg, s.cap); ++i) {
        if (i == first) s.segs[i].len += by;
        else if (s.segs[i].base >= from && s.segs[i].base <= to) s.segs[i].base += by;
    }
    s.run += by;
}

// Segments of a run: none asked for, asked for, or either (the rows' copy).
enum class tracking { none, asked, any };

// A run in the straight-line writer. An element is written after one byte kept for
// its length and moved up should the length need more, so it is walked once; it is
// tried with 4 bytes of the room held back, so that the move stays inside the room,
// and anything it left behind is covered again by the element's bytes or by a payload
// that fits. Its segments in the buffer move with it, its zero-copy payloads' do not.
template <class E, uint32_t Tag, tracking T>
KEST_INLINE uint8_t *write_run(const row &r, const void *m, uint8_t *p, uint8_t *end, Sink &s) {
    constexpr bool known = !std::is_void_v<E>;
    const table &e = element_table<E>(r);
    const uint32_t step = [&] {
        if constexpr (known) return uint32_t{sizeof(E)};
        else return e.record_size;
    }();
    const uint32_t tag_size = known ? varint_size(Tag) : r.tag_size;
    auto tag_at = [&](uint8_t *q) {
        if constexpr (known) return put_tag<Tag>(q);
        else return put_varint(q, r.tag);
    };
    // The element's walk inlined once, where it goes straight into the room; near the
    // end and with segments, a call.
    auto write = [&](const uint8_t *x, uint8_t *q, uint8_t *q_end) KEST_INLINE_LAMBDA {
        if constexpr (known && speed<E> && T == tracking::none) return write_body(*reinterpret_cast<const E *>(x), q, q_end, s);
        else if constexpr (known) return write_erased<E>(x, q, q_end, s);
        else return e.write(x, q, q_end, s);
    };
    auto write_near_end = [&](const uint8_t *x, uint8_t *q, uint8_t *q_end) {
        if constexpr (known) return write_erased<E>(x, q, q_end, s);
        else return e.write(x, q, q_end, s);
    };
    auto size = [&](const uint8_t *x) {
        if constexpr (known && speed<E>) return size_body(*reinterpret_cast<const E *>(x), false, nullptr);
        else return e.size(x, false, nullptr);
    };
    const auto *el = member<const uint8_t *>(m, r.offset);  // read once: the buffer might alias the record
    const uint32_t count = run_count(r, m);
    const bool track = T == tracking::asked || (T == tracking::any && s.track);
    for (uint32_t i = 0; i < count; ++i, el += step) {
        if (fits(p, end, tag_size + 1u + 4u, 1)) {
            uint8_t *const at = tag_at(p), *const body = at + 1;
            const uint64_t ref = s.ref;
            const uint32_t first = s.nseg;
            uint8_t *const run = s.run;
            if (track) s.close_run(body);
            if (uint8_t *const q = write(el, body, end - 4)) {
                const auto written = static_cast<uint64_t>(q - body);
                const auto whole = static_cast<uint32_t>(written + s.ref - ref);
                uint32_t k = 1;
                if (whole < 0x80) [[likely]] {
                    *at = static_cast<uint8_t>(whole);
                } else {
                    k = varint_size(whole);
                    std::memmove(at + k, body, written);
                    put_varint(at, whole);
                    if (track) shift_segments(s, first, k - 1, body, q);
                }
                p = q + (k - 1);
                if (track) s.close_run(p);
                continue;
            }
            s.ref = ref;
            s.nseg = first;
            s.run = run;
        }
        const auto whole = static_cast<uint32_t>(size(el));
        if (!fits(p, end, tag_size + varint_size(whole), 0)) return nullptr;
        p = put_varint(tag_at(p), whole);
        if (track) s.close_run(p);
        p = write_near_end(el, p, end);
        if (!p) return nullptr;
        if (track) s.close_run(p);
    }
    return p;
}

// The element loop's speed swung by 1.1-1.2x with its place relative to 32-byte fetch
// blocks as unrelated code moved it; aligning this one costs 300 bytes, all loops 2 KB.
#if defined(__GNUC__) && !defined(__clang__)
#define KEST_ALIGNED_LOOPS __attribute__((optimize("align-loops=32")))
#else
#define KEST_ALIGNED_LOOPS
#endif
// With an element type and tag, the straight-line writer's own copy, whose calls are
// direct (a tenth of a run's time); without, one copy for the rows.
template <class E = void, uint32_t Tag = 0>
[[gnu::noinline]] KEST_ALIGNED_LOOPS uint8_t *put_run(const row &r, const void *m, uint8_t *p, uint8_t *end, Sink &s) {
    if constexpr (std::is_void_v<E>) {
        return write_run<E, Tag, tracking::any>(r, m, p, end, s);
    } else {
        if (!s.track) [[likely]] return write_run<E, Tag, tracking::none>(r, m, p, end, s);
        if constexpr (speed<E>)  // in either mode; without speed the rows' copy, so that nesting adds no code
            return write_run<E, Tag, tracking::asked>(r, m, p, end, s);
        else
            return put_run<>(r, m, p, end, s);
    }
}

// Each length prefix counts the element's zero-copy payloads too.
// With an element type that asks for speed, its walk is inlined: one copy per element type.
template <class E = void>
[[gnu::noinline]] uint64_t run_size(const row &r, const void *m, bool zero_copy, Tally *t) {
    const table &e = element_table<E>(r);
    const auto *el = member<const uint8_t *>(m, r.offset);
    const uint32_t count = run_count(r, m);
    const bool again = zero_copy && !t && e.owning_count != 0;
    auto size = [&](const uint8_t *x, bool zc, Tally *tally) {
        if constexpr (!std::is_void_v<E> && speed<E>) return size_body(*reinterpret_cast<const E *>(x), zc, tally);
        else return e.size(x, zc, tally);
    };
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i, el += e.record_size) {
        Tally sub;
        // the whole element, payloads included: with a tally the walk sets them aside itself
        const uint64_t whole = t ? size(el, zero_copy, &sub) : size(el, false, nullptr);
        total += r.tag_size + varint_size(static_cast<uint32_t>(whole)) + (again ? size(el, true, nullptr) : whole);
        if (t) {  // the run up to the length prefix, the element's own, and its last run
            t->n += 1 + sub.n + (whole > sub.mark);
            t->payload += sub.payload;
        }
    }
    return total;
}

// A scalar's value as written: its varint, or its fixed bytes. One copy of the kinds' switch.
[[gnu::noinline]] inline uint64_t wire_value_at(kind k, const void *v) {
    return visit_scalar(k, [&]<kind K>() -> uint64_t {
        return scalar_kind<K>::to_wire(member<typename scalar_kind<K>::type>(v, 0));
    });
}
inline uint64_t wire_value(const row &r, const void *m) {
    return wire_value_at(r.what, static_cast<const uint8_t *>(m) + r.offset);
}

constexpr uint32_t scalar_wire(kind k) {
    switch (k) {
    case kind::bytes: return wire_len;
    case kind::fixed32:
    case kind::sfixed32:
    case kind::float32: return wire_fixed32;
    case kind::fixed64:
    case kind::sfixed64:
    case kind::float64: return wire_fixed64;
    default: return wire_varint;
    }
}
constexpr uint32_t scalar_width(kind k) {  // of its C type
    switch (k) {
    case kind::boolean: return 1;
    case kind::uint64:
    case kind::int64:
    case kind::sint64:
    case kind::fixed64:
    case kind::sfixed64:
    case kind::float64: return 8;
    default: return 4;
    }
}

// A scalar's raw value by its wire type, stored as its kind at `at`.
KEST_INLINE bool read_raw(In &in, uint32_t wire, uint64_t &raw) {
    uint32_t low;
    if (wire == wire_fixed64) return in.fixed64(raw);
    if (wire != wire_fixed32) return in.u64(raw);
    if (!in.fixed32(low)) return false;
    raw = low;
    return true;
}
[[gnu::noinline]] inline void store_scalar(kind k, void *at, uint64_t raw) {
    visit_scalar(k, [&]<kind K>() {
        using S = scalar_kind<K>;
        member<typename S::type>(at, 0) = S::from_wire(static_cast<typename S::raw>(raw));
    });
}

inline bool take_scalar(const row &r, void *m, In &in) {
    uint64_t raw;
    if (!read_raw(in, r.tag & 7, raw)) return false;
    store_scalar(r.what, static_cast<uint8_t *>(m) + r.offset, raw);
    return true;
}

// ---- runs of scalars ----------------------------------------------------------------

// A block of the caller's with a copy of `size` bytes; null when refused.
[[gnu::noinline]] inline uint8_t *copy_block(const uint8_t *from, uint64_t size, kest_alloc_fn alloc, void *ctx) {
    auto *block = static_cast<uint8_t *>(alloc ? alloc(size, ctx) : nullptr);
    if (block) copy_bytes(block, from, size);
    return block;
}

inline bool packed(const row &r) { return (r.tag & 7) == wire_len; }

// One copy of each per kind a schema's runs use: the kind's conversions inline in the loops.

// The values' bytes, without tags or length.
template <kind K>
KEST_INLINE uint64_t scalars_body(const typename scalar_kind<K>::type *a, uint32_t count) {
    using S = scalar_kind<K>;
    if constexpr (S::wire != wire_varint) return uint64_t{count} * S::max;
    uint64_t body = 0;
    for (uint32_t i = 0; i < count; ++i) body += S::size(a[i]);
    return body;
}

template <kind K>
[[gnu::noinline]] uint64_t scalars_size(const row &r, const void *m) {
    const uint32_t count = member<uint32_t>(m, r.aux);
    if (!count) return 0;
    const uint64_t body = scalars_body<K>(member<const typename scalar_kind<K>::type *>(m, r.offset), count);
    return packed(r) ? r.tag_size + varint_size(body) + body : uint64_t{count} * r.tag_size + body;
}

// The packed field's tag and length, then each value, after its own tag when not packed.
template <kind K>
KEST_INLINE uint8_t *put_scalars_at(const row &r, const typename scalar_kind<K>::type *a, uint32_t count,
                                    uint64_t body, uint8_t *p) {
    if (packed(r)) p = put_varint(put_varint(p, r.tag), body);
    for (uint32_t i = 0; i < count; ++i) p = scalar_kind<K>::put(packed(r) ? p : put_varint(p, r.tag), a[i]);
    return p;
}

// Whole or not at all: nullptr when the room ends first.
template <kind K>
[[gnu::noinline]] uint8_t *put_scalars_fit(const row &r, const void *m, uint8_t *p, uint8_t *end) {
    const uint32_t count = member<uint32_t>(m, r.aux);
    if (!count) return p;
    const auto *a = member<const typename scalar_kind<K>::type *>(m, r.offset);
    using S = scalar_kind<K>;
    // Packed varints with room for their longest: written unsized after one byte for the
    // length, moved up in the rare run of 128 bytes or more.
    if (S::wire == wire_varint && packed(r) && fits(p, end, r.tag_size + 10, uint64_t{count} * S::max)) {
        uint8_t *const q = put_varint(p, r.tag);
        uint8_t *e = q + 1;
        for (uint32_t i = 0; i < count; ++i) e = S::put(e, a[i]);
        const auto len = static_cast<uint64_t>(e - (q + 1));
        if (len < 0x80) {
            *q = static_cast<uint8_t>(len);
            return e;
        }
        const uint32_t k = varint_size(len);
        std::memmove(q + k, q + 1, static_cast<size_t>(len));
        put_varint(q, len);
        return q + k + len;
    }
    const uint64_t body = scalars_body<K>(a, count);
    const uint64_t size = packed(r) ? r.tag_size + varint_size(body) + body : uint64_t{count} * r.tag_size + body;
    if (!fits(p, end, size, 0)) return nullptr;
    return put_scalars_at<K>(r, a, count, body, p);
}

// The bounded writer's: value by value, each byte checked.
template <kind K>
[[gnu::noinline]] void put_scalars(const row &r, const void *m, Out &o) {
    const uint32_t count = member<uint32_t>(m, r.aux);
    const auto *a = member<const typename scalar_kind<K>::type *>(m, r.offset);
    uint8_t tmp[16];
    if (!count) return;
    if (packed(r)) o.put_bytes(tmp, static_cast<size_t>(put_varint(put_varint(tmp, r.tag), scalars_body<K>(a, count)) - tmp));
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *q = scalar_kind<K>::put(packed(r) ? tmp : put_varint(tmp, r.tag), a[i]);
        o.put_bytes(tmp, static_cast<size_t>(q - tmp));
    }
}

// One occurrence, packed or not: its values stored from `out`'s `n`th on (none where `out`
// is null: the read still checks them), or with Count, counted: at least as many as the read stores.
template <kind K, bool Count>
KEST_INLINE Step scalar_occurrence(uint32_t wire, const uint8_t *p, const uint8_t *end,
                                   typename scalar_kind<K>::type *out, uint32_t &n) {
    using S = scalar_kind<K>;
    In in{p, end};
    auto take = [&](In &from) KEST_INLINE_LAMBDA {
        uint64_t raw;
        if (!read_raw(from, S::wire, raw)) return false;
        if (out) out[n] = S::from_wire(static_cast<typename S::raw>(raw));
        ++n;
        return true;
    };
    if (wire != wire_len) return take(in) ? Step{in.p, KEST_OK} : Step{in.p, KEST_ERR_MALFORMED};
    uint32_t len;
    if (!in.extent(len)) return {in.p, KEST_ERR_MALFORMED};
    if (S::wire != wire_varint && len % S::max) return {in.p, KEST_ERR_MALFORMED};
    if constexpr (Count) {  // by the bytes that end a value: never fewer than the read stores
        if constexpr (S::wire != wire_varint) {
            n += len / S::max;
        } else {
            uint32_t ends = 0;
            for (uint32_t i = 0; i < len; ++i) ends += in.p[i] < 0x80;
            n += ends;
        }
        return {in.p + len, KEST_OK};
    }
    In body{in.p, in.p + len};
    while (!body.done())
        if (!take(body)) return {body.p, KEST_ERR_MALFORMED};
    return {body.p, KEST_OK};
}

// Whether field `number`, met at `p` (past its tag) with wire type `wire`, occurs nowhere
// later in its message: one pass per message answers for every run in it.
[[gnu::noinline]] inline bool last_occurrence(Later &l, uint32_t number, uint32_t wire, const uint8_t *p,
                                              const uint8_t *end) {
    if (l.end != end) {
        l = {end, uint64_t{1} << (number & 63), 0};
        In scan{p, end};
        uint32_t tag;
        // A pass cut by malformed input stops where the read will fail.
        if (scan.skip_field(wire) == KEST_OK)
            while (!scan.done() && scan.u32(tag)) {
                const uint64_t b = uint64_t{1} << (tag >> 3 & 63);
                l.more |= l.once & b;
                l.once |= b;
                if (scan.skip_field(tag & 7) != KEST_OK) break;
            }
    }
    return !(l.more >> (number & 63) & 1);
}

// protobuf concatenates a run's occurrences, in either form. The first one counts the
// values of every later one in the message, so that one block takes them all.
template <kind K>
[[gnu::noinline]] Step take_scalars(const row &r, void *m, uint32_t wire, const uint8_t *p, const uint8_t *end,
                                    const Decoding &d) {
    using T = typename scalar_kind<K>::type;
    auto &array = member<T *>(m, r.offset);
    auto &count = member<uint32_t>(m, r.aux);
    if (!array) {
        uint64_t total = 0;
        In scan{p, end};
        // Past the fields between, as the reads between pass over them; false at the end.
        auto next = [&](uint32_t &w) {
            uint32_t tag;
            while (!scan.done() && scan.u32(tag)) {
                if (tag >> 3 == r.number()) {
                    w = tag & 7;
                    return w == wire_len || w == scalar_kind<K>::wire;
                }
                if (scan.skip_field(tag & 7) != KEST_OK) return false;
            }
            return false;
        };
        const bool last = d.later && last_occurrence(*d.later, r.number(), wire, p, end);
        for (uint32_t w = wire;;) {
            uint32_t n = 0;
            const Step st = scalar_occurrence<K, true>(w, scan.p, end, nullptr, n);
            total += n;
            scan.p = st.p;
            if (st.rc != KEST_OK || last || !next(w)) break;
        }
        if (total != 0) {
            const uint64_t size = total * sizeof(T);
            if (!d.alloc || total > UINT32_MAX || static_cast<size_t>(size) != size) return {p, KEST_ERR_NO_MEMORY};
            array = static_cast<T *>(d.alloc(size, d.ctx));
            if (!array) return {p, KEST_ERR_NO_MEMORY};
            count = 0;
        }
    }
    uint32_t n = count;
    const Step st = scalar_occurrence<K, false>(wire, p, end, array, n);
    count = n;
    return st;
}

[[gnu::noinline]] inline uint8_t *copy_scalars(const row &r, const uint8_t *from, uint32_t n, kest_alloc_fn alloc,
                                               void *ctx) {
    return copy_block(from, uint64_t{n} * scalar_width(r.what), alloc, ctx);
}

// ---- runs of byte strings: a field each, their payloads always inline ---------------

[[gnu::noinline]] inline uint64_t bytes_run_size(const row &r, const void *m) {
    const uint32_t count = member<uint32_t>(m, r.aux);
    const auto *a = member<const kest_bytes *>(m, r.offset);
    uint64_t total = uint64_t{count} * r.tag_size;
    for (uint32_t i = 0; i < count; ++i) total += varint_size(static_cast<uint32_t>(a[i].len)) + a[i].len;
    return total;
}

[[gnu::noinline]] inline void put_bytes_run(const row &r, const void *m, Out &o) {
    const uint32_t count = member<uint32_t>(m, r.aux);
    const auto *a = member<const kest_bytes *>(m, r.offset);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t tmp[16];
        o.put_bytes(tmp, static_cast<size_t>(put_varint(put_varint(tmp, r.tag), static_cast<uint32_t>(a[i].len)) - tmp));
        o.inline_payload(a[i].data, a[i].len);
    }
}
// Whole or not at all: nullptr when the room ends first.
[[gnu::noinline]] inline uint8_t *put_bytes_run_fit(const row &r, const void *m, uint8_t *p, uint8_t *end) {
    if (!fits(p, end, bytes_run_size(r, m), 0)) return nullptr;
    Out o{p, static_cast<uint64_t>(end - p), nullptr, 0, false, false};
    put_bytes_run(r, m, o);
    return p + o.pos;
}

// Like a run of scalars, the first occurrence counts every later one, so that one block
// takes them all: the values, then in copy mode their payloads, each after the one before.
[[gnu::noinline]] inline Step take_bytes_run(const row &r, void *m, uint32_t, const uint8_t *p, const uint8_t *end,
                                             const Decoding &d) {
    auto &array = member<kest_bytes *>(m, r.offset);
    auto &count = member<uint32_t>(m, r.aux);
    In in{p, end};
    uint32_t n;
    if (!in.extent(n)) return {in.p, KEST_ERR_MALFORMED};
    uint8_t *slot;  // where the payload goes in copy mode
    if (!array) {
        uint64_t total = 0, payload = 0;
        In scan = in;
        for (uint32_t len = n;;) {
            ++total;
            payload += len;
            scan.p += len;
            uint32_t tag = 0;
            bool found = false;  // the next occurrence, past the fields between
            while (!found && !scan.done() && scan.u32(tag))
                found = tag >> 3 == r.number() || scan.skip_field(tag & 7) != KEST_OK;
            if (!found || tag != r.tag || !scan.extent(len)) break;
        }
        const uint64_t size = total * sizeof(kest_bytes) + (d.zero_copy ? 0 : payload);
        if (!d.alloc || total > UINT32_MAX || static_cast<size_t>(size) != size) return {p, KEST_ERR_NO_MEMORY};
        array = static_cast<kest_bytes *>(d.alloc(size, d.ctx));
        if (!array) return {p, KEST_ERR_NO_MEMORY};
        count = 0;
        slot = reinterpret_cast<uint8_t *>(array + total);
    } else {
        slot = const_cast<uint8_t *>(array[count - 1].data) + array[count - 1].len;
    }
    const uint8_t *at = in.p;
    if (!d.zero_copy) {
        copy_bytes(slot, in.p, n);
        at = slot;
    }
    array[count++] = kest_bytes{at, n};
    return {in.p + n, KEST_OK};
}

// Each payload copied after the values, as a decode leaves them.
[[gnu::noinline]] inline uint8_t *copy_bytes_run(const row &, const uint8_t *from, uint32_t n, kest_alloc_fn alloc,
                                                 void *ctx) {
    const auto *a = reinterpret_cast<const kest_bytes *>(from);
    uint64_t size = uint64_t{n} * sizeof(kest_bytes);
    for (uint32_t i = 0; i < n; ++i) size += a[i].len;
    auto *block = static_cast<kest_bytes *>(static_cast<size_t>(size) == size && alloc ? alloc(size, ctx) : nullptr);
    if (!block) return nullptr;
    auto *slot = reinterpret_cast<uint8_t *>(block + n);
    for (uint32_t i = 0; i < n; ++i) {
        copy_bytes(slot, a[i].data, a[i].len);
        block[i] = kest_bytes{slot, a[i].len};
        slot += a[i].len;
    }
    return reinterpret_cast<uint8_t *>(block);
}

struct scalar_ops {
    uint64_t (*size)(const row &r, const void *m);
    uint8_t *(*put)(const row &r, const void *m, uint8_t *p, uint8_t *end);  // whole or nullptr
    void (*write)(const row &r, const void *m, Out &o);
    Step (*take)(const row &r, void *m, uint32_t wire, const uint8_t *p, const uint8_t *end, const Decoding &d);
    uint8_t *(*copy)(const row &r, const uint8_t *from, uint32_t n, kest_alloc_fn alloc, void *ctx);
};
template <kind K>
inline constexpr scalar_ops scalar_run_ops{&scalars_size<K>, &put_scalars_fit<K>, &put_scalars<K>, &take_scalars<K>,
                                           &copy_scalars};
template <class = void>
inline constexpr scalar_ops bytes_run_ops{&bytes_run_size, &put_bytes_run_fit, &put_bytes_run, &take_bytes_run,
                                          &copy_bytes_run};

template <kind K, bool Packed, uint32_t N, fixed_name Name, auto M, uint32_t Off, auto Aux, uint32_t AuxOff>
constexpr const scalar_ops *repeated_field<K, Packed, N, Name, M, Off, Aux, AuxOff>::ops() {
    if constexpr (K == kind::bytes)
        return &bytes_run_ops<>;
    else
        return &scalar_run_ops<K>;
}
template <kind K, bool Packed, uint32_t N, fixed_name Name, auto M, uint32_t Off, auto Aux, uint32_t AuxOff>
constexpr row repeated_field<K, Packed, N, Name, M, Off, Aux, AuxOff>::make_row() {
    return {tag::value, Off, AuxOff, K, tag::size, true, 0, {.ops = ops()}};
}

// Whole or not at all: nullptr when the room ends first.
inline uint8_t *put_scalars(const row &r, const void *m, uint8_t *p, uint8_t *end) { return r.ops->put(r, m, p, end); }

// The encoded length of the fields from `from` on; a tally as in size_body.
[[gnu::noinline]] inline uint64_t rest_size(const table &t, const void *m, uint32_t from, bool zero_copy,
                                            Tally *tally) {
    uint64_t total = 0, present = 0;
    for (uint32_t i = from; i < t.count; ++i) {
        if (i == from || i % 64 == 0) present = wire_present(t, m, i / 64);
        if (!(present >> i % 64 & 1)) continue;
        const row &r = t.rows[i];
        if (r.scalars) {
            total += r.ops->size(r, m);
        } else if (r.what == kind::message) {
            total += run_size<>(r, m, zero_copy, tally);
            if (tally && run_count(r, m)) tally->mark = total;
        } else if (r.what == kind::bytes) {
            const uint64_t n = member<uint64_t>(m, r.aux);
            total += r.tag_size + varint_size(static_cast<uint32_t>(n)) + (zero_copy && !tally ? 0 : n);
            if (tally && zero_copy && n) {
                tally->n += 2;
                tally->payload += n;
                tally->mark = total;
            }
        } else {
            const uint32_t wire = r.tag & 7;
            total += r.tag_size + (wire == wire_fixed32 ? 4u : wire == wire_fixed64 ? 8u : varint_size(wire_value(r, m)));
        }
    }
    return total;
}

// A field's tag and value, or a byte string's tag and length, into `q`; a run's tag alone.
inline uint8_t *put_head(uint8_t *q, const row &r, const void *m) {
    q = put_varint(q, r.tag);
    if (r.what == kind::message) return q;
    if (r.what == kind::bytes) return put_varint(q, static_cast<uint32_t>(member<uint64_t>(m, r.aux)));
    const uint64_t v = wire_value(r, m);
    switch (r.tag & 7) {
    case wire_fixed32: return put_fixed32(q, static_cast<uint32_t>(v));
    case wire_fixed64: return put_fixed64(q, v);
    default: return put_varint(q, v);
    }
}

// The straight-line writer's end: from field `from` on, each field checked exactly.
[[gnu::noinline]] inline uint8_t *put_rows(const table &t, const void *m, uint32_t from, uint8_t *p, uint8_t *end,
                                           Sink &s) {
    uint64_t present = 0;
    for (uint32_t i = from; i < t.count && p; ++i) {
        if (i == from || i % 64 == 0) present = wire_present(t, m, i / 64);
        if (!(present >> i % 64 & 1)) continue;
        const row &r = t.rows[i];
        if (r.scalars) {
            p = put_scalars(r, m, p, end);
            continue;
        }
        if (r.what == kind::message) {
            p = put_run<>(r, m, p, end, s);
            continue;
        }
        uint8_t tmp[16];
        const uint8_t *q = put_head(tmp, r, m);
        const auto n = static_cast<size_t>(q - tmp);
        const uint64_t inline_n = r.what == kind::bytes && !s.zero_copy ? member<uint64_t>(m, r.aux) : 0;
        if (!fits(p, end, n, inline_n)) return nullptr;
        std::memcpy(p, tmp, n);
        p += n;
        if (r.what == kind::bytes) p = put_payload(p, member<const uint8_t *>(m, r.offset), member<uint64_t>(m, r.aux), s);
    }
    return p;
}

struct Near {
    uint8_t *p;
    bool go_on;  // the rest fits: the straight-line writer goes on without checks
};
// Near the end: if the rest fits, the straight-line writer writes it with no more
// checks, else the rows write it. One copy, so each place that checks stays small.
[[gnu::noinline]] inline Near finish_near_end(const table &t, const void *m, uint32_t from, uint8_t *p, uint8_t *end,
                                              Sink &s) {
    if (rest_size(t, m, from, s.zero_copy, nullptr) <= static_cast<uint64_t>(end - p)) return {p, true};
    return {put_rows(t, m, from, p, end, s), false};
}

// finish_near_end with speed: the rest sized by the message's own walk.
template <class R>
[[gnu::noinline]] Near finish_near_end_of(const R &m, uint32_t from, uint8_t *p, uint8_t *end, Sink &s) {
    if (size_body(m, s.zero_copy, nullptr, from) <= static_cast<uint64_t>(end - p)) return {p, true};
    return {put_rows(*table_ptr<R>(), &m, from, p, end, s), false};
}

// The bounded writer for a buffer that ends before the encoding: every byte checked.
[[gnu::noinline]] inline void write_checked(const table &t, const void *m, Out &o) {
    uint64_t present = 0;
    for (uint32_t i = 0; i < t.count; ++i) {
        if (i % 64 == 0) present = wire_present(t, m, i / 64);
        if (!(present >> i % 64 & 1)) continue;
        const row &r = t.rows[i];
        uint8_t tmp[16];
        if (r.scalars) {
            r.ops->write(r, m, o);
            continue;
        }
        if (r.what == kind::message) {
            const table &e = r.element();
            const auto *el = member<const uint8_t *>(m, r.offset);
            const uint32_t count = run_count(r, m);
            for (uint32_t k = 0; k < count; ++k, el += e.record_size) {
                const uint8_t *q = put_varint(put_varint(tmp, r.tag), static_cast<uint32_t>(e.size(el, false, nullptr)));
                o.put_bytes(tmp, static_cast<size_t>(q - tmp));
                if (o.track) o.close_run();
                const uintptr_t frame = o.enter_element();
                write_checked(e, el, o);
                if (o.track) o.close_run();
                o.leave_element(frame);
            }
            continue;
        }
        const uint8_t *q = put_head(tmp, r, m);
        o.put_bytes(tmp, static_cast<size_t>(q - tmp));
        if (r.what == kind::bytes) o.payload(member<const uint8_t *>(m, r.offset), member<uint64_t>(m, r.aux));
    }
}

[[gnu::noinline]] inline uint64_t encode_checked(const table &t, const void *m, uint8_t *buf, uint64_t buflen,
                                                 kest_segment *segs, uint32_t *nsegs, bool zero_copy) {
    Out o{buf, buflen, segs, nsegs ? *nsegs : 0, nsegs != nullptr, zero_copy};
    write_checked(t, m, o);
    if (o.track) {
        o.close_run();
        *nsegs = o.nseg;
    }
    return o.pos;
}

[[gnu::noinline]] inline Step take_bytes(const row &r, void *m, const uint8_t *p, const uint8_t *end,
                                         const Decoding &d) {
    auto &data = member<const uint8_t *>(m, r.offset);
    if (data) return {p, KEST_ERR_MALFORMED};  // a byte string may arrive once
    if (d.copy_without_alloc) return {p, KEST_ERR_NO_MEMORY};
    In in{p, end};
    uint32_t n;
    if (!in.extent(n)) return {in.p, KEST_ERR_MALFORMED};
    const uint8_t *at = in.p;
    if (!d.zero_copy) {
        void *block = d.alloc(n, d.ctx);
        if (!block) return {in.p, KEST_ERR_NO_MEMORY};
        copy_bytes(static_cast<uint8_t *>(block), in.p, n);
        at = static_cast<const uint8_t *>(block);
    }
    data = at;
    member<uint64_t>(m, r.aux) = n;
    return {in.p + n, KEST_OK};
}

template <class R>
inline int32_t read_body(R &m, const uint8_t *p, const uint8_t *end, const Decoding &d);
template <class R>
int32_t read_erased(void *m, In in, const Decoding &d);

template <class R>
inline constexpr bool scalar_runs = [] {
    bool any = false;
    for_each_field<R>([&]<class F, size_t>() { any = any || F::scalars; });
    return any;
}();

// Called after the run's first tag. The run is counted and framed first, so
// malformed input costs no allocation; then one zeroed array takes it all.
// With an element type, its reader is inlined: one copy per element type.
template <class E = void>
[[gnu::noinline]] Step take_run(const row &r, void *m, const uint8_t *p, const uint8_t *end, const Decoding &d) {
    const table &e = element_table<E>(r);
    auto &array = member<uint8_t *>(m, r.offset);
    if (array) return {p, KEST_ERR_MALFORMED};  // a second run, or a sub-message twice
    if (!d.depth) return {p, KEST_ERR_MALFORMED};  // nested deeper than any reader goes
    if (!d.alloc) return {p, KEST_ERR_NO_MEMORY};
    In scan{p, end};
    uint32_t count = 0;
    for (;;) {
        uint32_t n;
        if (!scan.extent(n)) return {scan.p, KEST_ERR_MALFORMED};
        scan.p += n;
        ++count;
        if (scan.done() || r.aux == no_count) break;
        In next = scan;
        uint32_t t;
        if (!next.u32(t)) return {next.p, KEST_ERR_MALFORMED};
        if (t >> 3 != r.number()) break;
        // Same field with another wire type: refused here, before anything is allocated.
        if ((t & 7) != wire_len) return {next.p, KEST_ERR_FIELD_TYPE};
        scan = next;
    }
    const uint64_t block = uint64_t{count} * e.record_size;
    if constexpr (sizeof(size_t) < sizeof(block))
        if (static_cast<size_t>(block) != block) return {p, KEST_ERR_NO_MEMORY};  // beyond a 32-bit address space
    auto *el = static_cast<uint8_t *>(d.alloc(block, d.ctx));
    if (!el) return {p, KEST_ERR_NO_MEMORY};
    std::memset(el, 0, block);
    array = el;
    set_count(r, m, count);
    Later later;
    Decoding inner = d;
    --inner.depth;
    inner.later = nullptr;  // never the parent's: a child may end where its parent does
    if constexpr (std::is_void_v<E>)
        inner.later = &later;
    else if constexpr (scalar_runs<E>)  // the only readers that ask
        inner.later = &later;
    In in{p, end};
    for (uint32_t i = 0; i < count; ++i, el += e.record_size) {
        uint32_t tag = 0, n = 0;
        if (i) in.u32(tag);  // checked while counting, like the lengths
        in.u32(n);
        int32_t rc;  // the array came zeroed
        if constexpr (std::is_void_v<E>)
            rc = e.read(el, In{in.p, in.p + n}, inner);
        else if constexpr (wide<E>)
            rc = read_erased<E>(el, In{in.p, in.p + n}, inner);
        else
            rc = read_body(*reinterpret_cast<E *>(el), in.p, in.p + n, inner);
        if (rc != KEST_OK) return {in.p, rc};
        in.p += n;
    }
    return {in.p, KEST_OK};
}

inline const row *find_row(const table &t, uint32_t number) {
    uint32_t lo = 0, hi = t.count;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        if (t.rows[mid].number() < number)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < t.count && t.rows[lo].number() == number ? &t.rows[lo] : nullptr;
}

// The general loop: any field in any order, unknown fields passed over.
[[gnu::noinline]] inline int32_t read_rest(const table &t, void *m, In in, const Decoding &d, uint64_t present) {
    int32_t rc;
    do {
        uint32_t tag;
        if (!in.u32(tag)) {
            rc = KEST_ERR_MALFORMED;
            break;
        }
        const row *r = find_row(t, tag >> 3);
        if (!r) {
            rc = in.skip_field(tag & 7);
            continue;
        }
        const uint32_t wire = tag & 7;
        if (wire != (r->tag & 7) && !(r->scalars && (wire == wire_len || wire == scalar_wire(r->what)))) {
            rc = KEST_ERR_FIELD_TYPE;
            break;
        }
        for (uint32_t j = 0; r->oneof && j < t.count; ++j)  // the other members, replaced from its arrival
            if (t.rows[j].oneof == r->oneof && &t.rows[j] != r) set_row_bit(t, m, present, j, false);
        bool ok = true;
        if (r->scalars || r->what == kind::bytes || r->what == kind::message) {
            const Step st = r->scalars                ? r->ops->take(*r, m, wire, in.p, in.end, d)
                            : r->what == kind::bytes ? take_bytes(*r, m, in.p, in.end, d)
                                                      : take_run<>(*r, m, in.p, in.end, d);
            in.p = st.p;
            if (st.rc != KEST_OK) {
                rc = st.rc;
                break;
            }
        } else {
            ok = take_scalar(*r, m, in);
        }
        rc = ok ? KEST_OK : KEST_ERR_MALFORMED;
        if (ok) set_row_bit(t, m, present, static_cast<uint32_t>(r - t.rows), true);
    } while (rc == KEST_OK && !in.done());
    store_present(t, m, present);
    return rc;
}

// ---- the straight-line walks, and the table that points at them -------------------

// One copy of each walk per message, called straight from its operations and
// through the table from a run of its elements.
// A message of more than 64 fields has only the rows: its bits do not fit a register.
template <class R>
[[gnu::noinline]] uint8_t *write_erased(const void *m, uint8_t *p, uint8_t *end, Sink &s) {
    if constexpr (wide<R>)
        return put_rows(*table_ptr<R>(), m, 0, p, end, s);
    else
        return write_body(*static_cast<const R *>(m), p, end, s);
}
template <class R>
[[gnu::noinline]] uint64_t size_erased(const void *m, bool zero_copy, Tally *t) {
    if constexpr (wide<R>)
        return rest_size(*table_ptr<R>(), m, 0, zero_copy, t);
    else
        return size_body(*static_cast<const R *>(m), zero_copy, t);
}
template <class R>
[[gnu::noinline]] int32_t read_erased(void *m, In in, const Decoding &d) {
    if constexpr (wide<R>)
        return in.done() ? KEST_OK : read_rest(*table_ptr<R>(), m, in, d, static_cast<R *>(m)->present[0]);
    else
        return read_body(*static_cast<R *>(m), in.p, in.end, d);
}

template <class R>
struct rows_of {
    static constexpr auto rows = []<class... F>(field_list<F...>) {
        return std::array<row, sizeof...(F)>{F::make_row()...};
    }(fields_of<R>{});
    static constexpr uint32_t owning_count = [] {
        uint32_t n = 0;
        for_each_field<R>([&]<class F, size_t>() { n += F::owns_memory; });
        return n;
    }();
    static constexpr auto implicit_rows = [] {
        std::array<uint64_t, (fields_of<R>::size + 63) / 64 + 1> at{};
        for_each_field<R>([&]<class F, size_t I>() { at[I / 64] |= uint64_t{F::implicit_presence} << I % 64; });
        return at;
    }();
    static constexpr auto owning = [] {
        std::array<uint8_t, owning_count ? owning_count : 1> at{};
        uint32_t n = 0;
        for_each_field<R>([&]<class F, size_t I>() {
            if (F::owns_memory) at[n++] = static_cast<uint8_t>(I);
        });
        return at;
    }();
};

template <class R>
inline constexpr table table_of = [] {
    return table{rows_of<R>::rows.data(), static_cast<uint32_t>(fields_of<R>::size),
                 static_cast<uint32_t>(offsetof(R, present)), sizeof(presence_t<R>),
                 sizeof(R), rows_of<R>::owning.data(), rows_of<R>::owning_count, rows_of<R>::implicit_rows.data(),
                 &write_erased<R>, &size_erased<R>, &read_erased<R>};
}();

template <class R>
constexpr const table *table_ptr() {
    return &table_of<R>;
}
template <class R>
const table &table_ref() {
    return table_of<R>;
}


namespace detail {
template <class F, class R>
KEST_INLINE uint64_t field_size(const R &m, bool zero_copy) {
    if constexpr (F::what == kind::bytes) {
        const uint64_t n = m.*F::length;
        return F::tag::size + varint_size(static_cast<uint32_t>(n)) + (zero_copy ? 0 : n);
    } else {
        return F::tag::size + scalar_kind<F::what>::size(m.*F::member);
    }
}

template <class F>
inline constexpr uint32_t most = [] {
    if constexpr (F::repeated || F::what == kind::bytes || F::what == kind::message)
        return 0u;
    else
        return F::tag::size + scalar_kind<F::what>::max;
}();

// Where the writer compares its position with the room: at the first of each group of
// scalars that together take at most `slop` bytes, and at every byte string.
template <class R>
inline constexpr auto checks = []<class... F>(field_list<F...>) {
    std::array<bool, sizeof...(F)> at{};
    uint32_t taken = slop, i = 0;
    ((at[i] = F::what == kind::bytes || taken + most<F> > slop,
      taken = F::what == kind::bytes || F::what == kind::message || F::repeated ? slop : (at[i] ? 0 : taken) + most<F>, ++i),
     ...);
    return at;
}(fields_of<R>{});
}  // namespace detail

// Fields are written in record order. Where less than `slop` bytes of room are left,
// the rest goes through the rows, each field checked exactly; nullptr when the room
// ends, with nothing written past `end`.
template <class R>
KEST_INLINE uint8_t *write_body(const R &m, uint8_t *p, uint8_t *end, Sink &s) {
    const presence_t<R> present = m.present;
    uintptr_t limit = reinterpret_cast<uintptr_t>(end) - slop;  // a buffer's end lies far above `slop`
    auto near_end = [&](uint32_t from) {
        Near n;
        if constexpr (speed<R>)
            n = finish_near_end_of(m, from, p, end, s);
        else
            n = finish_near_end(table_of<R>, &m, from, p, end, s);
        p = n.p;
        limit = UINTPTR_MAX;
        return n.go_on;
    };
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        (void)(([&]() KEST_INLINE_LAMBDA {
                    using T = typename F::tag;
                    if constexpr (detail::checks<R>[I] && F::what != kind::bytes)
                        if (reinterpret_cast<uintptr_t>(p) > limit) [[unlikely]]
                            if (!near_end(I)) return false;
                    if (!written<F, I>(m, present)) return true;
                    if constexpr (F::scalars) {
                        p = put_scalars(table_of<R>.rows[I], &m, p, end);
                        return p != nullptr;
                    } else if constexpr (F::what == kind::message) {
                        p = put_run<typename F::element, T::value>(table_of<R>.rows[I], &m, p, end, s);
                        return p != nullptr;
                    } else if constexpr (F::what == kind::bytes) {
                        const uint64_t n = s.zero_copy ? 0 : m.*F::length;
                        if (reinterpret_cast<uintptr_t>(p) > limit || n > limit - reinterpret_cast<uintptr_t>(p)) [[unlikely]]
                            if (!near_end(I)) return false;
                        p = put_string(put_tag<T::value>(p), m.*F::member, m.*F::length, s);
                    } else {
                        p = scalar_kind<F::what>::put(put_tag<T::value>(p), m.*F::member);
                    }
                    return true;
                }()) && ...);
    });
    return p;
}

// The encoded length; in zero-copy mode without the payloads, unless a tally takes them
// (and the segments) aside.
template <class R>
KEST_INLINE uint64_t size_body(const R &m, bool zero_copy, Tally *t, uint32_t from) {
    const auto present = static_cast<presence_t<R>>(m.present & ~((uint64_t{1} << from) - 1));  // fields from `from` on
    uint64_t total = 0;
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        ((written<F, I>(m, present) && (!F::implicit_presence || I >= from) ? [&]() KEST_INLINE_LAMBDA {
            if constexpr (F::scalars) {
                total += table_of<R>.rows[I].ops->size(table_of<R>.rows[I], &m);
            } else if constexpr (F::what == kind::message) {
                if constexpr (speed<R>)
                    total += run_size<typename F::element>(table_of<R>.rows[I], &m, zero_copy, t);
                else
                    total += run_size<>(table_of<R>.rows[I], &m, zero_copy, t);
                if (t && extent_of<F>(m)) t->mark = total;
            } else if constexpr (F::what == kind::bytes) {
                const uint64_t n = m.*F::length;
                total += F::tag::size + varint_size(static_cast<uint32_t>(n)) + (zero_copy && !t ? 0 : n);
                if (t && zero_copy && n) {
                    t->n += 2;
                    t->payload += n;
                    t->mark = total;
                }
            } else {
                total += detail::field_size<F>(m, false);
            }
        }() : void()), ...);
    });
    return total;
}

template <class R>
uint64_t size_of(const R &m, bool zero_copy) {
    return size_erased<R>(&m, zero_copy, nullptr);
}

namespace detail {
constexpr int32_t pending = 1;  // more input to read
}

// Fields arrive in ascending order from any encoder that writes them so: one pass
// through the list takes them all, each field's tag bytes compared as constants.
// Whatever breaks that order (unknown fields, another writer's order) goes to the
// rows. The record's field members are zero and `present` holds only its spare bits.
template <class R>
KEST_INLINE int32_t read_body(R &m, const uint8_t *p, const uint8_t *end, const Decoding &d) {
    In in{p, end};  // a local, not the parameter, so that it lives in registers
    presence_t<R> present = m.present;
    int32_t rc = detail::pending;
    with_fields<R>([&]<class... F, size_t... I>(field_list<F...>, std::index_sequence<I...>) KEST_INLINE_LAMBDA {
        (void)((rc == detail::pending && ([&]() KEST_INLINE_LAMBDA {
                    if (!in.template at_tag<F::tag::value>()) return;
                    present &= static_cast<presence_t<R>>(~oneof_others<R, I>);  // replaced from its arrival
                    if constexpr (speed<R> && F::what == kind::bytes && !F::scalars) {
                        // A one-byte length; the record came zeroed, so there is no earlier copy.
                        const uint8_t *const q = in.p;
                        if (in.left() >= 2 && q[0] < 0x80 && q[0] < in.left() && (d.zero_copy || d.alloc)) [[likely]] {
                            const uint8_t n = q[0];
                            const uint8_t *at = q + 1;
                            if (!d.zero_copy) {
                                auto *block = static_cast<uint8_t *>(d.alloc(n, d.ctx));
                                if (!block) {
                                    rc = KEST_ERR_NO_MEMORY;
                                    return;
                                }
                                copy_bytes(block, at, n);
                                at = block;
                            }
                            m.*F::member = at;
                            m.*F::length = n;
                            in.p = q + 1 + n;
                            present |= bit<R, I>;
                            return;
                        }
                    }
                    if constexpr (F::scalars || F::what == kind::bytes || F::what == kind::message) {
                        Step st;
                        if constexpr (F::scalars)
                            st = table_of<R>.rows[I].ops->take(table_of<R>.rows[I], &m, F::tag::wire, in.p, in.end, d);
                        else if constexpr (F::what == kind::bytes)
                            st = take_bytes(table_of<R>.rows[I], &m, in.p, in.end, d);
                        else if constexpr (speed<R>)
                            st = take_run<typename F::element>(table_of<R>.rows[I], &m, in.p, in.end, d);
                        else
                            st = take_run<>(table_of<R>.rows[I], &m, in.p, in.end, d);
                        in.p = st.p;
                        if (st.rc != KEST_OK) {
                            rc = st.rc;
                            return;
                        }
                    } else {
                        if (!get_scalar<F::what, speed<R>>(in, m.*F::member)) {
                            rc = KEST_ERR_MALFORMED;
                            return;
                        }
                    }
                    present |= bit<R, I>;
                }(), true)) && ...);
    });
    if (rc != detail::pending) {
        m.present = present;
        return rc;
    }
    if (in.done()) {
        m.present = present;
        return KEST_OK;
    }
    return read_rest(table_of<R>, &m, in, d, present);
}


// Without a buffer, the size alone; with one, the straight-line writer, and the
// bounded one from the start when the buffer ends before the encoding does.
// One copy for every message: the walks it calls are the message's own, through its table.
[[gnu::noinline]] inline uint64_t encode_by(const table &tb, const void *m, uint8_t *buf, uint64_t buflen,
                                            kest_segment *segs, uint32_t *nsegs, uint32_t flags) {
    const bool zero_copy = flags & KEST_FLAG_ZERO_COPY;
    if (buflen == 0) {
        if (nsegs && *nsegs == 0) {
            Tally t;
            return t.answer(tb.size(m, zero_copy, &t), nsegs);
        }
        if (nsegs) {
            return encode_checked(tb, m, buf, buflen, segs, nsegs, zero_copy);
        }
        return tb.size(m, zero_copy, nullptr);
    }
    Sink s{segs, nsegs ? *nsegs : 0, nsegs != nullptr, zero_copy};
    // In an exactly sized buffer the straight-line writer would check every field near
    // its end; a small encoding is written into scratch with room to spare, then copied.
    if (buflen <= scratch_max) {
        uint8_t tmp[scratch_max + slop];
        s.run = tmp;
        uint8_t *p = tb.write(m, tmp, tmp + buflen + slop, s);
        const auto n = static_cast<size_t>(p - tmp);
        if (p && n <= buflen) {
            copy_short(buf, tmp, n);
            if (nsegs) {
                s.close_run(p);
                for (uint32_t i = 0; i < std::min(s.nseg, s.cap); ++i) {  // the buffer's runs, not the payloads
                    const uintptr_t at = reinterpret_cast<uintptr_t>(segs[i].base) - reinterpret_cast<uintptr_t>(tmp);
                    if (at <= n) segs[i].base = buf + at;
                }
                *nsegs = s.nseg;
            }
            return n;
        }
        return encode_checked(tb, m, buf, buflen, segs, nsegs, zero_copy);
    }
    s.run = buf;
    // An end the address space holds: a larger length only means more room than is used.
    const uint64_t reach = std::min<uint64_t>(buflen, UINTPTR_MAX - reinterpret_cast<uintptr_t>(buf));
    if (uint8_t *p = tb.write(m, buf, buf + reach, s)) {
        if (nsegs) {
            s.close_run(p);
            *nsegs = s.nseg;
        }
        return static_cast<uint64_t>(p - buf);
    }
    return encode_checked(tb, m, buf, buflen, segs, nsegs, zero_copy);
}

// The most common call, a roomy buffer without segments: five arguments, all in registers, none on the stack.
[[gnu::noinline]] inline uint64_t encode_roomy(const table &tb, const void *m, uint8_t *buf, uint64_t buflen,
                                               uint32_t flags) {
    const bool zero_copy = flags & KEST_FLAG_ZERO_COPY;
    Sink s{nullptr, 0, false, zero_copy};
    const uint64_t reach = std::min<uint64_t>(buflen, UINTPTR_MAX - reinterpret_cast<uintptr_t>(buf));
    if (uint8_t *p = tb.write(m, buf, buf + reach, s)) return static_cast<uint64_t>(p - buf);
    return encode_checked(tb, m, buf, buflen, nullptr, nullptr, zero_copy);
}

template <class R>
KEST_INLINE uint64_t encode(const R &m, uint8_t *buf, uint64_t buflen, kest_segment *segs, uint32_t *nsegs,
                            uint32_t flags) {
    if constexpr (speed<R>)
        if (buflen == 0 && nsegs && *nsegs == 0) {  // the first of two calls: a direct call, not through the table
            Tally t;
            return t.answer(size_erased<R>(&m, flags & KEST_FLAG_ZERO_COPY, &t), nsegs);
        }
    if (buflen > scratch_max && !nsegs) return encode_roomy(table_of<R>, &m, buf, buflen, flags);
    return encode_by(table_of<R>, &m, buf, buflen, segs, nsegs, flags);
}

template <class R>
inline constexpr bool owns_memory = [] {
    bool any = false;
    for_each_field<R>([&]<class F, size_t>() { any = any || F::owns_memory; });
    return any;
}();

// The bytes before `present`. GCC clears and copies a few hundred bytes with rep stos
// and rep movs, which take tens of cycles to start where glibc's memset and memcpy do
// not: with speed, a size it cannot see makes it call them (60 bytes more a message).
template <class R>
KEST_INLINE size_t field_bytes() {
    size_t n = offsetof(R, present);
    if constexpr (speed<R> && offsetof(R, present) > 128) asm("" : "+r"(n));
    return n;
}

// Per message, not through the table: clearing a record of known size is a few
// stores, where a generic decode costs a small message a sixth of its time.
template <class R>
KEST_INLINE int32_t decode(R &m, const uint8_t *buf, uint64_t len, kest_alloc_fn alloc, void *ctx, uint32_t flags) {
    static_assert(std::is_standard_layout_v<R>);
    std::memset(static_cast<void *>(&m), 0, field_bytes<R>());  // every field member: `present` is last
    if constexpr (wide<R>) {
        for (uint32_t w = 0; w < std::size(m.present); ++w) m.present[w] &= ~mask_of(table_of<R>, w);
    } else {
        m.present &= static_cast<presence_t<R>>(~field_mask<R>);
    }
    if (len == 0) return KEST_OK;
    const bool zero_copy = flags & KEST_FLAG_ZERO_COPY;
    const bool copy_without_alloc = owns_memory<R> && !zero_copy && !alloc;  // never for a plain message
    Later later;  // only the runs of scalars ask, and only of their own message
    return read_erased<R>(&m, In{buf, buf + len},
                          Decoding{alloc, ctx, flags, zero_copy, copy_without_alloc, max_depth, scalar_runs<R> ? &later : nullptr});
}

// ---- copying and releasing by rows -----------------------------------------------


// The byte strings and runs of `count` records copied member for member: each gets a
// block of its own, or none and its bit cleared where the allocator refuses. Lengths and
// pointers come from the source records: loads from the copy just written wait on its stores.
[[gnu::noinline]] inline int32_t own_blocks(const table &t, void *records, const void *from_records, uint64_t count,
                                            kest_alloc_fn alloc, void *ctx) {
    int32_t rc = KEST_OK;
    for (uint64_t k = 0; k < count; ++k) {
        void *m = static_cast<uint8_t *>(records) + k * t.record_size;
        const void *src = static_cast<const uint8_t *>(from_records) + k * t.record_size;
        for (uint32_t j = 0; j < t.owning_count; ++j) {
            const uint32_t i = t.owning[j];
            const row &r = t.rows[i];
            const bool run = r.what == kind::message || r.scalars;
            const uint64_t n = run ? run_count(r, src) : member<uint64_t>(src, r.aux);
            const auto *from = member<const uint8_t *>(src, r.offset);
            member<void *>(m, r.offset) = nullptr;
            if (run)
                set_count(r, m, 0);
            else
                member<uint64_t>(m, r.aux) = 0;
            if (n == 0) continue;
            uint8_t *const block = r.scalars ? r.ops->copy(r, from, static_cast<uint32_t>(n), alloc, ctx)
                                   : copy_block(from, run ? n * r.element().record_size : n, alloc, ctx);
            if (!block) {  // left out of the copy, bit and all
                uint64_t low = load_present(t, m);
                set_row_bit(t, m, low, i, false);
                store_present(t, m, low);
                rc = KEST_ERR_NO_MEMORY;
                continue;
            }
            if (run) {
                if (!r.scalars && r.element().owning_count && own_blocks(r.element(), block, from, n, alloc, ctx) != KEST_OK)
                    rc = KEST_ERR_NO_MEMORY;
                set_count(r, m, static_cast<uint32_t>(n));
            } else {
                member<uint64_t>(m, r.aux) = n;
            }
            member<uint8_t *>(m, r.offset) = block;
        }
    }
    return rc;
}

// own_blocks with speed: the owning fields unrolled, one copy per record type.
template <class R>
int32_t own_blocks_of(R *records, const R *from_records, uint64_t count, kest_alloc_fn alloc, void *ctx);

template <class R>
KEST_INLINE int32_t own_blocks_in(R *records, const R *from_records, uint64_t count, kest_alloc_fn alloc, void *ctx) {
    int32_t rc = KEST_OK;
    for (uint64_t k = 0; k < count; ++k) {
        R &m = records[k];
        const R &src = from_records[k];
        for_each_field<R>([&]<class F, size_t I>() {
            if constexpr (F::owns_memory) {
                constexpr bool run = F::repeated || F::single;
                const uint64_t n = extent_of<F>(src);
                const auto *from = reinterpret_cast<const uint8_t *>(src.*F::member);
                m.*F::member = nullptr;
                set_extent<F>(m, 0);
                if (n == 0) return;
                uint8_t *const block =
                    F::scalars ? table_of<R>.rows[I].ops->copy(table_of<R>.rows[I], from, static_cast<uint32_t>(n), alloc, ctx)
                               : copy_block(from, run ? n * sizeof(typename F::element) : n, alloc, ctx);
                if (!block) {  // left out of the copy, bit and all
                    m.present &= static_cast<presence_t<R>>(~bit<R, I>);
                    rc = KEST_ERR_NO_MEMORY;
                    return;
                }
                if constexpr (run) {
                    using E = typename F::element;
                    if constexpr (!F::scalars) {  // (apart: a scalar's E has no schema to ask)
                        if constexpr (owns_memory<E>)
                            if (own_blocks_of(reinterpret_cast<E *>(block), reinterpret_cast<const E *>(from), n, alloc,
                                              ctx) != KEST_OK)
                                rc = KEST_ERR_NO_MEMORY;
                    }
                    m.*F::member = reinterpret_cast<E *>(block);
                } else {
                    m.*F::member = block;
                }
                set_extent<F>(m, n);
            }
        });
    }
    return rc;
}

// A run's elements share one copy per element type; a record's own fields are inline
// in its duplicate.
template <class R>
[[gnu::noinline]] int32_t own_blocks_of(R *records, const R *from_records, uint64_t count, kest_alloc_fn alloc,
                                        void *ctx) {
    if constexpr (wide<R>)
        return own_blocks(table_of<R>, records, from_records, count, alloc, ctx);
    else
        return own_blocks_in(records, from_records, count, alloc, ctx);
}

// A field's bit is copied with it; a scalar's always is. The members are copied at
// once, then each byte string and run gets a block of its own. Every element is
// copied even after one fails, so the copy stays complete.
[[gnu::noinline]] inline int32_t duplicate(const table &t, void *dst, const void *src, kest_alloc_fn alloc, void *ctx) {
    const uint64_t present = (load_present(t, dst) & ~mask_of(t)) | load_present(t, src);
    std::memmove(dst, src, t.present_offset);
    store_present(t, dst, present);
    for (uint32_t w = 1; w < present_words(t); ++w)
        store_present(t, dst, (load_present(t, dst, w) & ~mask_of(t, w)) | load_present(t, src, w), w);
    return t.owning_count ? own_blocks(t, dst, src, 1, alloc, ctx) : KEST_OK;
}

template <class R>
KEST_INLINE int32_t duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx) {
    if constexpr (speed<R>) {
        const presence_t<R> present = (dst.present & static_cast<presence_t<R>>(~field_mask<R>)) | src.present;
        if (&dst != &src)  // two records of one type are the same or apart: one copy
            std::memcpy(static_cast<void *>(&dst), &src, field_bytes<R>());
        dst.present = present;
        if constexpr (owns_memory<R>)
            return own_blocks_in(&dst, &src, 1, alloc, ctx);
        else
            return KEST_OK;
    } else {
        return duplicate(table_of<R>, &dst, &src, alloc, ctx);
    }
}

// release with speed: the owning fields unrolled, one copy per record type.
template <class R>
void release_of(R *records, uint32_t count, const Releasing &rel);

template <class R>
KEST_INLINE void release_in(R *records, uint32_t count, const Releasing &rel) {
    for (uint32_t k = 0; k < count; ++k) {
        R &m = records[k];
        for_each_field<R>([&]<class F, size_t>() {
            if constexpr (F::scalars) {
                if (!(m.*F::member)) return;
                rel.release(m.*F::member, rel.ctx);
                m.*F::member = nullptr;
                m.*F::count = 0;
            } else if constexpr (F::what == kind::bytes) {
                if (rel.zero_copy || !(m.*F::member)) return;
                rel.release(const_cast<uint8_t *>(m.*F::member), rel.ctx);
                m.*F::member = nullptr;
            } else if constexpr (F::what == kind::message) {
                auto *const block = m.*F::member;
                if (!block) return;
                if constexpr (owns_memory<typename F::element>) release_of(block, static_cast<uint32_t>(extent_of<F>(m)), rel);
                rel.release(block, rel.ctx);
                m.*F::member = nullptr;
                set_extent<F>(m, 0);
            }
        });
    }
}

template <class R>
[[gnu::noinline]] void release_of(R *records, uint32_t count, const Releasing &rel) {
    release_in(records, count, rel);
}

[[gnu::noinline]] inline void release(const table &t, void *m, const Releasing &rel) {
    for (uint32_t j = 0; j < t.owning_count; ++j) {
        const row &r = t.rows[t.owning[j]];
        auto &block = member<uint8_t *>(m, r.offset);
        if (r.what == kind::bytes && !r.scalars) {
            if (rel.zero_copy || !block) continue;
            rel.release(block, rel.ctx);
            block = nullptr;
        } else if ((r.what == kind::message || r.scalars) && block) {
            const uint32_t count = run_count(r, m);
            const table *e = r.scalars ? nullptr : &r.element();
            if (e && e->owning_count)
                for (uint32_t k = 0; k < count; ++k) release(*e, block + k * e->record_size, rel);
            rel.release(block, rel.ctx);
            block = nullptr;
            set_count(r, m, 0);
        }
    }
}

template <class R>
KEST_INLINE void release(R &m, const Releasing &rel) {
    if constexpr (speed<R>)
        release_in(&m, 1, rel);
    else
        release(table_of<R>, &m, rel);
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

// The described members, each at the next offset its alignment allows, then `present`
// and nothing after it: exactly the record's members, in order.
template <class R, class... F>
consteval bool present_follows_fields(field_list<F...>) {
    size_t next = 0;
    bool ok = true;
    auto take = [&]<class T>(size_t at) {
        next = (next + alignof(T) - 1) / alignof(T) * alignof(T);
        ok = ok && at == next;
        next = at + sizeof(T);
    };
    ([&] {
        take.template operator()<value_of<F::member>>(F::offset);
        if constexpr (F::what == kind::bytes || F::repeated)
            take.template operator()<value_of<F::count>>(F::aux_offset);
    }(), ...);
    take.template operator()<decltype(R::present)>(offsetof(R, present));
    return ok && (next + alignof(R) - 1) / alignof(R) * alignof(R) == sizeof(R);
}

// A description that does not fit its record does not compile.
template <class R>
consteval bool check_description() {
    static_assert(std::is_standard_layout_v<R> && std::is_unsigned_v<presence_t<R>>);
    static_assert(members_of<R>(fields_of<R>{}), "every field must be a member of the described record");
    static_assert(numbers_ascend(fields_of<R>{}), "field numbers must be strictly ascending");
    static_assert(fields_of<R>::size <= 8 * sizeof(R::present), "`present` has fewer bits than there are fields");
    static_assert(!wide<R> || (std::is_same_v<presence_t<R>, uint64_t> && fields_of<R>::size > 64 && !speed<R>),
                  "`present` is an array of 64-bit words only past 64 fields, which take no speed");
    static_assert(present_follows_fields<R>(fields_of<R>{}),
                  "the record must hold the described members, in order, then `present`");
    return true;
}

}  // namespace kest::core

#define KEST_EXPORT_ extern "C" __attribute__((visibility("default")))

// The four exported operations of a message, all from its schema, named prefix<msg>_*.
#define KEST_DEFINE_OPERATIONS(prefix, msg)                                                                   \
    static_assert(::kest::core::check_description<msg>());                                                    \
    KEST_EXPORT_ uint64_t prefix##msg##_encode_ext(const msg *m, uint8_t *buf, uint64_t buflen,               \
                                                  kest_segment *segs, uint32_t *nsegs, uint32_t flags) {      \
        return ::kest::core::encode(*m, buf, buflen, segs, nsegs, flags);                                     \
    }                                                                                                         \
    KEST_EXPORT_ int32_t prefix##msg##_decode_ext(msg *m, const uint8_t *buf, uint64_t buflen,                \
                                                 kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags) {      \
        return ::kest::core::decode(*m, buf, buflen, alloc, alloc_ctx, flags);                                \
    }                                                                                                         \
    KEST_EXPORT_ int32_t prefix##msg##_duplicate(msg *dst, const msg *src, kest_alloc_fn alloc,               \
                                                void *alloc_ctx) {                                            \
        return ::kest::core::duplicate(*dst, *src, alloc, alloc_ctx);                                        \
    }                                                                                                         \
    KEST_EXPORT_ void prefix##msg##_free_ext(msg *m, kest_free_fn release, void *release_ctx, uint32_t flags) { \
        ::kest::core::release(*m, {release, release_ctx, (flags & KEST_FLAG_ZERO_COPY) != 0});               \
    }

// A message that owns no memory takes no callbacks and no flags.
#define KEST_DEFINE_PLAIN_OPERATIONS(prefix, msg)                                                             \
    static_assert(::kest::core::check_description<msg>() && !::kest::core::owns_memory<msg>);                 \
    KEST_EXPORT_ uint64_t prefix##msg##_encode_ext(const msg *m, uint8_t *buf, uint64_t buflen,               \
                                                  kest_segment *segs, uint32_t *nsegs) {                      \
        return ::kest::core::encode(*m, buf, buflen, segs, nsegs, 0);                                         \
    }                                                                                                         \
    KEST_EXPORT_ int32_t prefix##msg##_decode_ext(msg *m, const uint8_t *buf, uint64_t buflen) {              \
        return ::kest::core::decode(*m, buf, buflen, nullptr, nullptr, 0);                                    \
    }                                                                                                         \
    KEST_EXPORT_ int32_t prefix##msg##_duplicate(msg *dst, const msg *src) {                                  \
        return ::kest::core::duplicate(*dst, *src, nullptr, nullptr);                                        \
    }                                                                                                         \
    KEST_EXPORT_ void prefix##msg##_free_ext(msg *) {}
