// Generic views of the seven records, driven by the engine's field lists: the C
// operations looked up by record type, and walks that compare records and list the
// blocks they own. Shared by the promise tests and the fuzz targets, so it uses no
// test framework: every check returns its verdict.
#pragma once

#include <kest.hpp>

#include "dhcp/ia_id_msg.hpp"
#include "dhcp/srg_opq_dhcpv4_msg.hpp"
#include "dhcp/srg_opq_dhcpv6_msg.hpp"
#include "srg/srg_cmd_msg.hpp"
#include "srg/srg_neg_msg.hpp"
#include "srg/srg_opaque.hpp"
#include "srg/srg_sync_msg.hpp"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace kt::generic {

namespace kc = kest::core;

// ---- the C operations by record type -----------------------------------------

// Pointer-style calls to kest::codec, the one table of C functions by record type.
namespace api {
template <class R>
uint64_t encode(const R *m, uint8_t *b, uint64_t n, kest_segment *s, uint32_t *c, uint32_t f) {
    return kest::codec<R>::encode(*m, b, n, s, c, f);
}
template <class R>
int32_t decode(R *m, const uint8_t *b, uint64_t n, kest_alloc_fn a, void *x, uint32_t f) {
    return kest::codec<R>::decode(*m, b, n, a, x, f);
}
template <class R>
int32_t duplicate(R *d, const R *s, kest_alloc_fn a, void *x) {
    return kest::codec<R>::duplicate(*d, *s, a, x);
}
template <class R>
void release(R *m, kest_free_fn r, void *x, uint32_t f) {
    kest::codec<R>::release(*m, r, x, f);
}
}  // namespace api

template <class Fn>
void for_each_message(Fn &&fn) {
    fn.template operator()<srg_opaque>();
    fn.template operator()<srg_cmd_msg>();
    fn.template operator()<srg_sync_msg>();
    fn.template operator()<srg_neg_msg>();
    fn.template operator()<srg_opq_dhcpv4_msg>();
    fn.template operator()<ia_id_msg>();
    fn.template operator()<srg_opq_dhcpv6_msg>();
}

template <class R>
inline constexpr bool owns_memory = kc::owns_memory<R>;
template <class R>
inline constexpr auto spare_bits = static_cast<kc::presence_t<R>>(~kc::field_mask<R>);

// ---- field shapes ------------------------------------------------------------

template <class F>
inline constexpr bool is_bytes = false;
template <uint32_t N, auto P, auto L>
inline constexpr bool is_bytes<kc::bytes<N, P, L>> = true;
template <class F>
inline constexpr bool is_run = false;
template <uint32_t N, auto A, auto C>
inline constexpr bool is_run<kc::repeated<N, A, C>> = true;

// The length member of a byte string, the count member of a run.
template <class F>
struct size_member;
template <uint32_t N, auto P, auto L>
struct size_member<kc::bytes<N, P, L>> {
    static constexpr auto value = L;
};
template <uint32_t N, auto A, auto C>
struct size_member<kc::repeated<N, A, C>> {
    static constexpr auto value = C;
};

template <class R, size_t I>
bool has(const R &r) {
    return (r.present & kc::bit<R, I>) != 0;
}

template <class F, class R>
uint64_t size_of(const R &r) {
    return r.*size_member<F>::value;
}

inline bool same_bytes(const uint8_t *a, const uint8_t *b, uint64_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

// ---- comparisons ---------------------------------------------------------------

// What the wire carries of a record: the fields an encoder would write, with their
// values. Members of absent fields and spare presence bits do not count.
template <class R>
bool same_on_wire(const R &a, const R &b) {
    bool same = true;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        constexpr auto m = F::member;
        bool in_a = has<R, I>(a), in_b = has<R, I>(b);
        if constexpr (is_run<F>) {
            in_a = in_a && size_of<F>(a) != 0;
            in_b = in_b && size_of<F>(b) != 0;
        }
        if (!same || in_a != in_b) {
            same = false;
            return;
        }
        if (!in_a) return;
        if constexpr (is_bytes<F>) {
            same = size_of<F>(a) == size_of<F>(b) && same_bytes(a.*m, b.*m, size_of<F>(a));
        } else if constexpr (is_run<F>) {
            same = size_of<F>(a) == size_of<F>(b);
            for (uint64_t i = 0; same && i < size_of<F>(a); ++i) same = same_on_wire((a.*m)[i], (b.*m)[i]);
        } else {
            same = a.*m == b.*m;
        }
    });
    return same;
}

// A member as a decode leaves it before storing anything: zero, or null and empty.
template <class F, class R>
bool member_cleared(const R &r) {
    if constexpr (is_bytes<F> || is_run<F>)
        return r.*F::member == nullptr && size_of<F>(r) == 0;
    else
        return r.*F::member == std::remove_cvref_t<decltype(r.*F::member)>{};
}

template <class R>
bool is_cleared(const R &r) {
    bool clear = (r.present & kc::field_mask<R>) == 0;
    kc::for_each_field<R>([&]<class F, size_t>() { clear = clear && member_cleared<F>(r); });
    return clear;
}

// ---- owned memory --------------------------------------------------------------

// Calls on_payload(ptr, len) for every non-null byte string and on_array(ptr) for
// every non-null element array, in record order, an array before its elements.
template <class R, class P, class A>
void walk_blocks(const R &r, P &&on_payload, A &&on_array) {
    kc::for_each_field<R>([&]<class F, size_t>() {
        if constexpr (is_bytes<F>) {
            if (r.*F::member) on_payload(r.*F::member, size_of<F>(r));
        } else if constexpr (is_run<F>) {
            const auto *array = r.*F::member;
            if (!array) return;
            on_array(static_cast<const void *>(array));
            for (uint64_t i = 0; i < size_of<F>(r); ++i) walk_blocks(array[i], on_payload, on_array);
        }
    });
}

// The blocks a record owns: after a zero-copy decode its payloads are borrowed.
template <class R, class Out>
void owned_blocks(const R &r, bool zero_copy, Out &out) {
    walk_blocks(
        r,
        [&](const uint8_t *p, uint64_t) {
            if (!zero_copy) out.insert(out.end(), static_cast<const void *>(p));
        },
        [&](const void *p) { out.insert(out.end(), p); });
}

// ---- duplicates and failed decodes -----------------------------------------------

struct CopyCheck {
    bool ok = true;
    int failures = 0;            // members left empty because their allocation failed
    long blocks = 0;             // owned blocks met so far, in allocation order
    long first_failure_at = -1;  // blocks allocated before the first failed member
};

// dst is a duplicate of src in which each member is either a full copy or, where
// its allocation failed, empty with its bit clear.
template <class R>
void check_copy(const R &dst, const R &src, CopyCheck &c) {
    kc::for_each_field<R>([&]<class F, size_t I>() {
        constexpr auto m = F::member;
        const bool bit_copied = has<R, I>(dst) == has<R, I>(src);
        if constexpr (is_bytes<F> || is_run<F>) {
            const uint64_t n = size_of<F>(src);
            if (n == 0) {
                c.ok = c.ok && dst.*m == nullptr && size_of<F>(dst) == 0 && bit_copied;
                return;
            }
            if (dst.*m == nullptr) {
                c.ok = c.ok && size_of<F>(dst) == 0 && !has<R, I>(dst);
                if (c.failures++ == 0) c.first_failure_at = c.blocks;
                return;
            }
            ++c.blocks;
            c.ok = c.ok && size_of<F>(dst) == n && bit_copied;
            if constexpr (is_bytes<F>) {
                c.ok = c.ok && dst.*m != src.*m && same_bytes(dst.*m, src.*m, n);
            } else {
                for (uint64_t i = 0; i < n; ++i) check_copy((dst.*m)[i], (src.*m)[i], c);
            }
        } else {
            c.ok = c.ok && dst.*m == src.*m && bit_copied;
        }
    });
}

// part is what a decode left when allocation number `k` failed, full the same input
// decoded without failure; the input holds every field once, in record order. True
// when part holds exactly the fields stored before the failing allocation, the
// failing member as the contract leaves it, and nothing after it. `reached` tells
// whether the failing member was found.
template <class R>
bool matches_failed_decode(const R &part, const R &full, uint64_t &k, bool zero_copy, bool &reached) {
    bool ok = true;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        constexpr auto m = F::member;
        if (!ok) return;
        if (reached || !has<R, I>(full)) {
            ok = !has<R, I>(part) && member_cleared<F>(part);
            return;
        }
        if constexpr (is_bytes<F>) {
            if (!zero_copy && k-- == 0) {
                reached = true;
                ok = !has<R, I>(part) && part.*m == nullptr && size_of<F>(part) == 0;
                return;
            }
            ok = has<R, I>(part) && size_of<F>(part) == size_of<F>(full) &&
                 same_bytes(part.*m, full.*m, size_of<F>(full));
        } else if constexpr (is_run<F>) {
            if (k-- == 0) {
                reached = true;
                ok = !has<R, I>(part) && part.*m == nullptr && size_of<F>(part) == 0;
                return;
            }
            // The array is attached with its full count before any element is decoded.
            ok = part.*m != nullptr && size_of<F>(part) == size_of<F>(full);
            for (uint64_t i = 0; ok && i < size_of<F>(full); ++i)
                ok = matches_failed_decode((part.*m)[i], (full.*m)[i], k, zero_copy, reached);
            ok = ok && has<R, I>(part) == !reached;
        } else {
            ok = has<R, I>(part) && part.*m == full.*m;
        }
    });
    return ok;
}

}  // namespace kt::generic
