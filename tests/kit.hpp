// The tests' kit: a checking allocator, random records, and verdicts ("" or what broke).
#pragma once

#include "tools/hex.hpp"
#include "tools/messages.hpp"

#include <kest.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <numeric>
#include <random>
#include <set>

namespace kt {

namespace kc = kest::core;
using Bytes = std::vector<uint8_t>;
using Input = std::span<const uint8_t>;
constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;
template <class R>
using api = kest::codec<R>;
using kest::tool::kind_of;

inline Bytes hex(std::string_view s) { return kest::tool::from_hex(s, true); }
inline std::string hex(Input b) { return kest::tool::to_hex(b.data(), b.size()); }

// Hands out blocks of stale bytes, refuses call number `refuse`, and keeps the books.
struct Alloc {
    std::set<const void *> live;
    std::vector<uint64_t> asked;  // every size asked for, in call order
    long refuse = -1, released = 0, foreign = 0;

    static void *take(uint64_t n, void *ctx) {
        auto &a = *static_cast<Alloc *>(ctx);
        a.asked.push_back(n);
        if (long(a.asked.size()) == a.refuse + 1 || static_cast<size_t>(n) != n) return nullptr;
        void *p = std::memset(std::malloc(n ? n : 1), 0xA5, n);  // exact, so overruns show
        return a.live.insert(p), p;
    }
    static void give(void *p, void *ctx) {
        auto &a = *static_cast<Alloc *>(ctx);
        ++a.released;
        a.live.erase(p) ? std::free(p) : void(++a.foreign);
    }
    bool clean() const { return live.empty() && !foreign; }
    ~Alloc() { for (const void *p : live) std::free(const_cast<void *>(p)); }
};

inline void put_varint(Bytes &out, uint64_t v) {
    for (; v >= 0x80; v >>= 7) out.push_back(uint8_t(v | 0x80));
    out.push_back(uint8_t(v));
}

// A varint of any length: its low 64 bits and, in `n`, its length in bytes; false if cut.
inline bool get_varint(const uint8_t *&p, const uint8_t *end, uint64_t &v, unsigned &n) {
    v = 0;
    for (n = 1; p != end; ++n) {
        v |= n <= 10 ? uint64_t(*p & 0x7F) << 7 * (n - 1) : 0;
        if (!(*p++ & 0x80)) return true;
    }
    return false;
}

// A trap, so that libFuzzer keeps the input.
[[noreturn]] inline void trap(const std::string &what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    __builtin_trap();
}

// Random bits, or a fuzzer's bytes (zeros once used up).
struct Seeded {
    std::mt19937_64 rng;
    uint64_t bits(unsigned k) { return k ? rng() >> (64 - k) : 0; }
};
struct FuzzBytes {
    const uint8_t *p, *end;
    uint64_t bits(unsigned k) {
        uint64_t v = 0;
        for (unsigned i = 0; i < k; i += 8) v = v << 8 | (p < end ? *p++ : 0);
        return k < 64 ? v & ((uint64_t{1} << k) - 1) : v;
    }
};

// 2^(7k) - 1, 2^(7k) or 2^(7k) + 1 by d: where a varint of k bytes needs one more.
inline uint64_t edge(uint64_t k, uint64_t d) { return (uint64_t{1} << 7 * k) + d % 3 - 1; }

template <class R>
auto &word(R &m, size_t w) { return reinterpret_cast<kc::presence_t<R> *>(&m.present)[w]; }
template <class R>
bool bit_of(const R &m, size_t i) { return word(const_cast<R &>(m), i / 64) >> i % 64 & 1; }
template <class R>
void put_bit(R &m, size_t i, bool on) {
    const auto b = static_cast<kc::presence_t<R>>(uint64_t{1} << i % 64);
    word(m, i / 64) = static_cast<kc::presence_t<R>>(on ? word(m, i / 64) | b : word(m, i / 64) & ~b);
}
// The same bits: all of them, or only those past the fields, which are the caller's.
template <class R>
bool same_presence(const R &a, const R &b, bool spare_only) {
    for (size_t i = 0; i < 8 * sizeof(R::present); ++i)
        if ((!spare_only || i >= kc::fields_of<R>::size) && bit_of(a, i) != bit_of(b, i)) return false;
    return true;
}

// Pads an element's encoding to `whole` bytes (one less where no length can) through its first byte string.
template <class E>
void fit(E &e, uint64_t whole, std::deque<Bytes> &store) {
    kc::for_each_field<E>([&, done = false]<class F, size_t I>() mutable {
        if constexpr (kind_of<F> == kc::kind::bytes && !F::scalars) {
            if (std::exchange(done, true)) return;
            e.*F::length = 0;
            put_bit(e, I, true);
            const uint64_t t = whole + 1 - std::min(whole, kc::size_of(e, false));  // payload and length prefix
            uint64_t n = t - 1;
            while (n && n + kc::varint_size(n) > t) --n;
            e.*F::member = store.emplace_back(n + 1).data();
            e.*F::length = n;
        }
    });
}

// Values and lengths of every varint width, now and then at a width's edge.
template <class T, class Src>
T any_value(Src &src) {
    const uint64_t x = src.bits(64), s = src.bits(8);
    const uint64_t y = s >= 0xE0 ? edge(1 + x % ((8 * sizeof(T) - 1) / 7), x >> 8) : x >> (s & 63);
    if constexpr (std::is_floating_point_v<T>)  // any bits: NaN payloads too
        return std::bit_cast<T>(static_cast<std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>(y));
    else
        return static_cast<T>(s & 0x10 && std::is_signed_v<T> ? ~y : y);
}

// A byte string of any length up to 511, or one of 2^7k - 1 to 2^7k + 1 bytes, in `store`.
template <class Src>
Bytes &any_bytes(Src &src, std::deque<Bytes> &store) {
    const uint64_t pick = src.bits(8), x = pick & 3 ? src.bits(4) : src.bits(9);
    const uint64_t n = pick >= 0xF8 ? edge(1 + (x & 1), x >> 1) : pick >= 0xF0 && !(pick & 3) ? x << 7 : x;
    Bytes &b = store.emplace_back(n + 1);
    for (auto &c : b) c = static_cast<uint8_t>(src.bits(8));
    return b;
}

template <class R, class Src>
R build(Src &src, std::deque<Bytes> &store, int depth = 0) {
    R m{};
    kc::for_each_field<R>([&]<class F, size_t>() {
        auto &v = m.*F::member;
        if constexpr (F::repeated) {
            using E = typename F::element;
            const uint64_t pick = src.bits(8);
            const bool deep = !F::scalars && depth > 3;  // a message may hold itself
            const bool small = F::scalars && pick >= 0xFC;  // 127 to 130 one-byte values: a packed length's edge
            const auto n = deep    ? 0
                           : small ? 127 + static_cast<uint32_t>(pick & 3)
                                   : static_cast<uint32_t>(pick >> 6 == 2 ? pick & 0x3F : pick & 3);
            auto *e = reinterpret_cast<E *>(store.emplace_back(n * sizeof(E) + 1).data());
            for (uint32_t i = 0; i < n; ++i) {
                if constexpr (std::is_same_v<E, kest_bytes>) {
                    const Bytes &b = any_bytes(src, store);
                    e[i] = kest_bytes{b.data(), b.size() - 1};
                } else if constexpr (F::scalars) {
                    e[i] = small ? static_cast<E>(src.bits(6)) : any_value<E>(src);
                } else {
                    e[i] = build<E>(src, store, depth + 1);
                    if (pick >= 0xC0) fit(e[i], edge(1 + (pick >> 2 & 1), (pick >> 3) + i), store);
                }
            }
            v = n ? e : nullptr;
            m.*F::count = n;
        } else if constexpr (kind_of<F> == kc::kind::bytes) {
            Bytes &b = any_bytes(src, store);
            const uint64_t n = b.size() - 1;
            v = n || src.bits(1) ? b.data() : nullptr;
            m.*F::length = n;
        } else if constexpr (F::single) {
            using E = typename F::element;
            v = depth < 4 && src.bits(1) ? reinterpret_cast<E *>(store.emplace_back(sizeof(E) + 1).data()) : nullptr;
            if (v) *v = build<E>(src, store, depth + 1);
        } else {
            v = any_value<std::remove_reference_t<decltype(v)>>(src);
        }
    });
    for (size_t w = 0; w < sizeof m.present / sizeof(kc::presence_t<R>); ++w) word(m, w) = static_cast<kc::presence_t<R>>(src.bits(64));
    std::set<uint8_t> chosen;  // a oneof keeps its first member with a bit set
    kc::for_each_field<R>([&]<class F, size_t I>() {
        if (F::oneof && bit_of(m, I) && !chosen.insert(F::oneof).second) put_bit(m, I, false);
    });
    return m;
}

template <class R, size_t I>
bool has(const R &m) {
    using F = kc::field_at<R, I>;
    if constexpr (F::implicit_presence) return kc::written<F, I>(m, 0);
    else return bit_of(m, I);
}

template <class R>
bool same(const R &a, const R &b);
// Scalars by their bits: a NaN is the same NaN.
template <class T>
bool same_bits(const T &a, const T &b) { return !std::memcmp(&a, &b, sizeof a); }
inline bool same_bits(const kest_bytes &a, const kest_bytes &b) { return a.len == b.len && (!a.len || !std::memcmp(a.data, b.data, a.len)); }

// One field as an encoder writes it: absent in both, or the same value; a run only with elements.
template <class F, size_t I, class R>
bool same_field(const R &a, const R &b) {
    const auto &x = a.*F::member, &y = b.*F::member;
    if constexpr (F::repeated || F::single) {  // a sub-message is a run of one while it is set
        const auto n = has<R, I>(a) ? kc::extent_of<F>(a) : 0;
        bool eq = n == (has<R, I>(b) ? kc::extent_of<F>(b) : 0);
        for (uint32_t i = 0; eq && i < n; ++i) {
            if constexpr (F::scalars) eq = same_bits(x[i], y[i]);
            else eq = same(x[i], y[i]);
        }
        return eq;
    } else if (has<R, I>(a) != has<R, I>(b) || !has<R, I>(a)) {
        return has<R, I>(a) == has<R, I>(b);
    } else if constexpr (kind_of<F> == kc::kind::bytes) {
        return a.*F::length == b.*F::length && (!(a.*F::length) || !std::memcmp(x, y, a.*F::length));
    } else {
        return same_bits(x, y);
    }
}

template <class R>
bool same(const R &a, const R &b) {
    bool eq = true;
    kc::for_each_field<R>([&]<class F, size_t I>() { eq = eq && same_field<F, I>(a, b); });
    return eq;
}

// The record owns exactly the live blocks, each once; borrowed payloads lie inside `input`.
template <class R>
std::string owns_what_is_live(const R &m, const Alloc &a, const Input *input = nullptr) {
    std::multiset<const void *> owned;
    bool inside = true;
    auto walk = [&](auto &self, const auto &r) -> void {
        kc::for_each_field<std::remove_cvref_t<decltype(r)>>([&]<class F, size_t>() {
            const auto &p = r.*F::member;
            if (!p) return;
            if constexpr (F::scalars) {
                owned.insert(p);  // converted values: a block even in zero-copy mode
            } else if constexpr (kind_of<F> == kc::kind::bytes) {
                if (!input) return void(owned.insert(p));
                const uint64_t at = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(input->data());
                inside = inside && at <= input->size() && r.*F::length <= input->size() - at;
            } else if constexpr (kind_of<F> == kc::kind::message) {
                owned.insert(p);
                for (uint32_t i = 0; i < kc::extent_of<F>(r); ++i) self(self, p[i]);
            }
        });
    };
    walk(walk, m);
    return owned != std::multiset<const void *>(a.live.begin(), a.live.end()) ? "owned blocks are not the live ones" : inside ? "" : "a borrowed payload outside the input";
}

// free_ext gives each owned block back once and clears only pointers and counts; again, nothing.
template <class R>
std::string releases_all(R &m, Alloc &a, uint32_t flags) {
    const R before = m;
    api<R>::release(m, Alloc::give, &a, flags);
    const long released = a.released;
    api<R>::release(m, Alloc::give, &a, flags);
    bool kept = same_presence(m, before, false);
    kc::for_each_field<R>([&]<class F, size_t>() {
        if constexpr (kind_of<F> == kc::kind::bytes && !F::scalars)
            kept = kept && m.*F::length == before.*F::length && m.*F::member == (flags & ZC ? before.*F::member : nullptr);
        else if constexpr (F::scalars || kind_of<F> == kc::kind::message)
            kept = kept && !(m.*F::member) && !kc::extent_of<F>(m);
        else
            kept = kept && same_bits(m.*F::member, before.*F::member);
    });
    return !a.clean() ? "free_ext leaks or releases a foreign block" : a.released != released ? "released twice"
           : kept ? "" : "free_ext changes more than it releases";
}

template <class R>
R stale() {
    R m;
    std::memset(static_cast<void *>(&m), 0xA5, sizeof m);
    return m;
}

// The reference encoding: bytes, segments, copied payloads, and where each field ends.
struct Layout {
    struct Seg { const uint8_t *payload; uint64_t at, len; };
    Bytes buf;
    std::vector<Seg> segs;
    std::vector<std::pair<uint64_t, uint64_t>> copied;
    std::set<uint64_t> ends;
    uint64_t run = 0, ref = 0;  // the run not yet a segment; payload bytes by reference
    void close() {
        if (buf.size() > run) segs.push_back({nullptr, run, buf.size() - run});
        run = buf.size();
    }
};

template <kc::kind K, class T>
void put_value(Bytes &out, const T &v) {
    if constexpr (std::is_same_v<T, kest_bytes>) {
        put_varint(out, v.len);
        out.insert(out.end(), v.data, v.data + v.len);
    } else if constexpr (kc::scalar_wire(K) != kc::wire_varint) {
        const auto *b = reinterpret_cast<const uint8_t *>(&v);  // little-endian bits
        for (size_t k = 0; k < sizeof v; ++k) out.push_back(b[std::endian::native == std::endian::little ? k : sizeof v - 1 - k]);
    } else if constexpr (K == kc::kind::sint32 || K == kc::kind::sint64) {
        put_varint(out, v < 0 ? uint64_t(-(v + 1)) * 2 + 1 : uint64_t(v) * 2);
    } else {
        put_varint(out, uint64_t(int64_t(v)));  // an int32's sign fills the varint's 64 bits
    }
}

template <class R>
Layout lay(const R &m, bool zc) {
    Layout l;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        const auto &v = m.*F::member;
        if constexpr (F::scalars) {
            Bytes body;
            for (uint32_t i = 0, n = has<R, I>(m) ? m.*F::count : 0; i < n; ++i) {
                if (F::tag::wire == kc::wire_len && F::what != kc::kind::bytes) {
                    put_value<F::what>(body, v[i]);
                    continue;
                }
                put_varint(l.buf, F::tag::value);
                if constexpr (std::is_same_v<typename F::element, kest_bytes>)  // inline in both modes, only whole
                    l.copied.emplace_back(l.buf.size() + kc::varint_size(v[i].len), v[i].len);
                put_value<F::what>(l.buf, v[i]);
                l.ends.insert(l.buf.size());
            }
            if (!body.empty()) {
                put_varint(l.buf, F::tag::value);
                put_varint(l.buf, body.size());
                l.buf.insert(l.buf.end(), body.begin(), body.end());
                l.ends.insert(l.buf.size());
            }
        } else {
        uint32_t times = has<R, I>(m);
        if constexpr (kind_of<F> == kc::kind::message) times *= uint32_t(kc::extent_of<F>(m));
        for (uint32_t i = 0; i < times; ++i) {
            put_varint(l.buf, F::tag::value);
            if constexpr (kind_of<F> == kc::kind::message) {
                const Layout e = lay(v[i], zc);
                put_varint(l.buf, uint32_t(e.buf.size() + e.ref));
                l.close();
                const uint64_t at = l.buf.size();
                for (const auto &s : e.segs) l.segs.push_back({s.payload, s.payload ? 0 : at + s.at, s.len});
                for (auto [p, n] : e.copied) l.copied.emplace_back(at + p, n);
                for (uint64_t end : e.ends) l.ends.insert(at + end);
                l.buf.insert(l.buf.end(), e.buf.begin(), e.buf.end());
                l.ref += e.ref;
                l.run = l.buf.size();
            } else if constexpr (kind_of<F> == kc::kind::bytes) {
                const uint64_t n = m.*F::length;
                put_varint(l.buf, uint32_t(n));
                if (zc && n) l.close(), l.segs.push_back({v, 0, n}), l.ref += n;
                if (!zc) l.copied.emplace_back(l.buf.size(), n), l.buf.insert(l.buf.end(), v, v + n);
            } else {
                put_value<F::what>(l.buf, v);
            }
            l.ends.insert(l.buf.size());
        }
        }
    });
    l.close();
    return l;
}

// Encode in both modes into short, exact and roomy buffers as the reference does (a copied payload only whole).
template <class R>
std::string check_encode(const R &m, Bytes &wire) {
    const kest_segment unset{nullptr, 0xDEAD};
    for (uint32_t flags : {ZC, 0u}) {
        const Layout l = lay(m, flags);
        const uint64_t size = l.buf.size();
        const auto n = static_cast<uint32_t>(l.segs.size());
        // roomy, and ending where the writer checks each field's room
        std::set<uint64_t> lengths{0, size, size + 31, size + 32, size + 33,
                                   std::min<uint64_t>(kc::size_of(m, false), size + (1 << 16)) + 64};
        for (uint64_t len = 0; len < size; len += size / 48 + 1) lengths.insert(len);
        for (auto e = l.ends.begin(); e != l.ends.end() && lengths.size() < 128; ++e) lengths.insert({*e, *e - 1});
        for (uint64_t len : lengths)
            for (bool counted : {true, false}) {
                const auto cap = static_cast<uint32_t>(len >= size || !len ? n : len % (n + 1));
                Bytes buf(len + 8, 0x5A), want(l.buf.begin(), l.buf.begin() + long(std::min(len, size)));
                want.resize(buf.size(), 0x5A);
                for (auto [at, plen] : l.copied)
                    if (at < len && at + plen > len) std::fill(want.begin() + long(at), want.begin() + long(len), 0x5A);
                std::vector<kest_segment> segs(cap + 1, unset);
                uint32_t k = cap;
                const std::string at = std::string(flags ? " zero-copy" : "") + (counted ? " counted" : "") +
                                       " at length " + std::to_string(len) + " of " + std::to_string(size);
                if (api<R>::encode(m, buf.data(), len, segs.data(), counted ? &k : nullptr, flags) != size ||
                    (counted && k != n))
                    return "result or count differs" + at;
                if (buf != want) return "the buffer holds " + hex(buf) + at;
                for (uint32_t i = 0; counted && i < std::min(cap, n); ++i) {
                    const Layout::Seg &s = l.segs[i];
                    if (segs[i].len != s.len ||
                        ((s.payload || s.at < len) && segs[i].base != (s.payload ? s.payload : buf.data() + s.at)))
                        return "segment " + std::to_string(i) + " differs" + at;
                }
                if (segs[cap].len != unset.len) return "a segment past the room" + at;
            }
        if (!flags) wire = l.buf;
    }
    return "";
}

// The most decode may allocate per input byte: an element's record per tag and zero length.
template <class R, int Depth = 6>  // a message may hold itself: deeper levels repeat the same ratios
constexpr uint64_t most_per_byte() {
    uint64_t most = 1;
    kc::for_each_field<R>([&]<class F, size_t>() {
        if constexpr (F::scalars) {
            most = std::max<uint64_t>(most, sizeof(typename F::element));  // a packed one-byte varint
        } else if constexpr (kind_of<F> == kc::kind::message) {
            using E = typename F::element;
            uint64_t below = 1;
            if constexpr (Depth > 0) below = most_per_byte<E, Depth - 1>();
            most = std::max({most, (uint64_t{sizeof(E)} + F::tag::size) / (F::tag::size + 1), below});
        }
    });
    return most;
}

// Any bytes decoded in both modes into stale records, alike, owning what is live, and round-tripped.
template <class R>
std::string check_decode(Input in, int32_t &rc) {
    R got[2];
    Alloc books[2];
    const Bytes before(in.begin(), in.end());
    for (int zc : {0, 1}) {
        R &m = got[zc] = stale<R>();
        const int32_t r = api<R>::decode(m, in.data(), in.size(), Alloc::take, &books[zc], zc ? ZC : 0);
        if (r < KEST_ERR_FIELD_TYPE || r > KEST_OK || (zc && r != rc)) return "result " + std::to_string(r);
        if (!same_presence(m, stale<R>(), true)) return "spare bits changed";
        if (std::string e = owns_what_is_live(m, books[zc], zc ? &in : nullptr); !e.empty()) return e;
        const auto &asked = books[zc].asked;
        if (std::accumulate(asked.begin(), asked.end(), uint64_t{0}) > most_per_byte<R>() * in.size())
            return "decode took more than " + std::to_string(most_per_byte<R>()) + " bytes per input byte";
        rc = r;
    }
    if (!std::equal(in.begin(), in.end(), before.begin())) return "decode wrote into its input";
    if (!same(got[0], got[1])) return "the two modes decode differently";
    // Copy mode without an allocator stops at the first byte string or run, before its length.
    R bare = stale<R>();
    const int32_t r = api<R>::decode(bare, in.data(), in.size(), nullptr, nullptr, 0);
    if (!books[0].asked.empty() ? r != KEST_ERR_NO_MEMORY : rc == KEST_OK ? r != rc : r != rc && r != KEST_ERR_NO_MEMORY)
        return "without an allocator: result " + std::to_string(r);
    if (r == KEST_OK && !same(bare, got[0])) return "without an allocator it decodes otherwise";
    if (rc == KEST_OK) {
        Bytes wire, again;
        if (std::string e = check_encode(got[0], wire); !e.empty()) return e;
        kest::record<R> back;
        if (back.decode(wire) != kest::errc::ok || !same(*back, got[0]) ||
            check_encode(*back, again) != "" || again != wire)
            return "decoded, encoded and decoded again, it differs";
    }
    return releases_all(got[0], books[0], 0) + releases_all(got[1], books[1], ZC);
}

// Each allocation refused in turn, in both modes: the decode stops, keeping only fields of `full`.
template <class R>
std::string check_refusals(const R &full, const Bytes &wire) {
    for (uint32_t flags : {0u, ZC}) {
        Alloc whole;
        kest::record<R>({Alloc::take, Alloc::give, &whole}).decode(wire, kest::mode(flags));
        for (long k = 0; k < long(whole.asked.size()); ++k) {
            Alloc a;
            a.refuse = k;
            R part = stale<R>();
            const Input in(wire);
            bool kept = api<R>::decode(part, in.data(), in.size(), Alloc::take, &a, flags) == KEST_ERR_NO_MEMORY &&
                        long(a.asked.size()) == k + 1 && same_presence(part, stale<R>(), true);
            kc::for_each_field<R>([&]<class F, size_t I>() {
                kept = kept && (!has<R, I>(part) || (has<R, I>(full) && same_field<F, I>(part, full)));
            });
            if (std::string e = (kept ? "" : "a refused allocation keeps the wrong fields") +
                                owns_what_is_live(part, a, flags ? &in : nullptr) + releases_all(part, a, flags);
                !e.empty())
                return e + " at allocation " + std::to_string(k);
        }
    }
    return "";
}

// Each member of dst a full copy in blocks of its own, or empty with its bit clear where refused.
template <class R>
bool copied(const R &dst, const R &src, long &failed, long &blocks) {
    bool ok = true;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        const auto &to = dst.*F::member, &from = src.*F::member;
        const bool bit = has<R, I>(dst) == has<R, I>(src);
        if constexpr (kind_of<F> == kc::kind::bytes || kind_of<F> == kc::kind::message || F::scalars) {
            const auto n = kc::extent_of<F>(src);
            if (!n) return void(ok = ok && !to && !kc::extent_of<F>(dst) && bit);
            if (!to) return void(ok = ok && ++failed && !kc::extent_of<F>(dst) && !has<R, I>(dst));
            ok = ok && ++blocks && kc::extent_of<F>(dst) == n && bit && to != from;
            if constexpr (kind_of<F> == kc::kind::bytes && !F::scalars) ok = ok && !std::memcmp(to, from, n);
            if constexpr (F::scalars)
                for (uint32_t i = 0; i < n; ++i) {
                    ok = ok && same_bits(to[i], from[i]);
                    if constexpr (std::is_same_v<typename F::element, kest_bytes>)  // a copied payload is its own
                        ok = ok && !(to[i].len && to[i].data == from[i].data);
                }
            if constexpr (kind_of<F> == kc::kind::message && !F::scalars)
                for (uint32_t i = 0; i < n; ++i) ok = copied(to[i], from[i], failed, blocks) && ok;
        } else {
            ok = ok && same_bits(to, from) && bit;
        }
    });
    return ok;
}

// duplicate without an allocator, with one, and with each allocation refused in turn.
template <class R>
std::string check_duplicate(const R &src) {
    for (long k = -2;; ++k) {  // -2: no allocator, -1: none refused
        Alloc a;
        a.refuse = k;
        R dst = stale<R>();
        const int32_t rc = api<R>::duplicate(dst, src, k == -2 ? nullptr : Alloc::take, &a);
        long failed = 0, blocks = 0;
        const std::string at = " with allocation " + std::to_string(k) + " refused";
        if (!copied(dst, src, failed, blocks)) return "not a copy" + at;
        if (rc != (failed ? KEST_ERR_NO_MEMORY : KEST_OK) || (k == -1 && failed) || failed > (k == -2 ? failed : 1) ||
            blocks != long(a.live.size()) || long(a.asked.size()) != blocks + (k == -2 ? 0 : failed))
            return "result " + std::to_string(rc) + at;
        if (!same_presence(dst, stale<R>(), true)) return "spare bits changed" + at;
        if (std::string e = owns_what_is_live(dst, a) + releases_all(dst, a, 0); !e.empty()) return e + at;
        if (k >= 0 && !failed) return "";
    }
}

// Every verdict on wire bytes (first byte even) or a record made from them (odd) or from `seeded`.
template <class R>
std::string check_all(Input data, Seeded *seeded = nullptr) {
    if (data.empty()) return "";
    std::deque<Bytes> store;
    Bytes wire(data.begin() + 1, data.end());  // a block of its own, so overreads show
    int32_t rc;
    R built{};
    const bool made = seeded || data[0] & 1;
    if (made) {
        FuzzBytes src{wire.data(), wire.data() + wire.size()};
        built = seeded ? build<R>(*seeded, store) : build<R>(src, store);
        if (std::string e = check_encode(built, wire); !e.empty()) return e;
    }
    if (std::string e = check_decode<R>(wire, rc); !e.empty() || rc != KEST_OK)
        return e.empty() && made ? "a record's own encoding is refused" : e;
    kest::record<R> m;
    m.decode(wire);
    if (made && !same(*m, built)) return "a record's own encoding decodes to another";
    return check_refusals(*m, kest::encode(*m)) + check_duplicate(*m);
}

}  // namespace kt
