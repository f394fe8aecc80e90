// What the fuzz targets share: a checking allocator, a reader of fuzzer-chosen
// values, and the invariants of decode, encode, duplicate and release. A violated
// invariant traps, so libFuzzer keeps the input.
#pragma once

#include "record_walk.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <vector>

#define FUZZ_CHECK(cond)                    \
    do {                                    \
        if (!(cond)) __builtin_trap();      \
    } while (0)

namespace kest_fuzz {

using namespace kt::generic;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;

// Fuzzer-chosen values, read front to back; zeros once the input is used up.
struct Reader {
    const uint8_t *p, *end;

    template <class T>
    T take() {
        T v{};
        const size_t n = std::min(sizeof(T), static_cast<size_t>(end - p));
        std::memcpy(&v, p, n);
        p += n;
        return v;
    }
    uint64_t below(uint64_t bound) { return bound ? take<uint32_t>() % bound : 0; }
};

// Allocation callback that knows every live block, refuses call number `fail_at`
// and traps on the release of a block it did not hand out or already took back.
struct Pool {
    long fail_at = -1;
    long calls = 0;
    std::set<const void *> live;

    static void *alloc(uint64_t n, void *ctx) {
        auto &pool = *static_cast<Pool *>(ctx);
        if (pool.calls++ == pool.fail_at) return nullptr;
        void *block = std::malloc(n ? n : 1);
        std::memset(block, 0xA5, n);  // stale bytes, as a real allocator may return
        pool.live.insert(block);
        return block;
    }
    static void release(void *block, void *ctx) {
        FUZZ_CHECK(static_cast<Pool *>(ctx)->live.erase(block) == 1);
        std::free(block);
    }
    ~Pool() {
        for (const void *b : live) std::free(const_cast<void *>(b));
    }
};

// The blocks the record owns are exactly the pool's live blocks, each once.
template <class R>
void check_owned(const R &r, bool zero_copy, const Pool &pool) {
    std::vector<const void *> owned;
    owned_blocks(r, zero_copy, owned);
    const std::set<const void *> distinct(owned.begin(), owned.end());
    FUZZ_CHECK(distinct.size() == owned.size() && distinct == pool.live);
}

// free_ext gives back every owned block once; a second call gives back nothing.
template <class R>
void release_checked(R &r, uint32_t flags, Pool &pool) {
    api::release(&r, Pool::release, &pool, flags);
    FUZZ_CHECK(pool.live.empty());
    api::release(&r, Pool::release, &pool, flags);
    std::vector<const void *> left;
    owned_blocks(r, flags & ZC, left);
    FUZZ_CHECK(left.empty());
}

// Decodes into a record full of stale bytes and checks what every result leaves:
// a known code, spare bits kept, zero-copy payloads inside the input, and owned
// blocks that match the allocator's books.
template <class R>
R decode_checked(const Bytes &in, uint32_t flags, Pool *pool, int32_t &rc) {
    R r;
    std::memset(&r, 0xA5, sizeof r);
    const auto spare = r.present & spare_bits<R>;
    rc = api::decode(&r, in.data(), in.size(), pool ? Pool::alloc : nullptr, pool, flags);
    FUZZ_CHECK(rc <= KEST_OK && rc >= KEST_ERR_NO_MEMORY);
    FUZZ_CHECK((r.present & spare_bits<R>) == spare);
    const bool refused = pool && pool->fail_at >= 0 && pool->calls > pool->fail_at;
    FUZZ_CHECK(rc != KEST_ERR_NO_MEMORY || !pool || refused);
    const bool zero_copy = flags & ZC;
    if (zero_copy) {
        const auto first = reinterpret_cast<uintptr_t>(in.data());
        walk_blocks(
            r,
            [&](const uint8_t *p, uint64_t n) {
                const auto at = reinterpret_cast<uintptr_t>(p);
                FUZZ_CHECK(at >= first && n <= in.size() && at - first <= in.size() - n);
            },
            [](const void *) {});
    }
    if (pool) {
        check_owned(r, zero_copy, *pool);
    } else {
        std::vector<const void *> owned;
        owned_blocks(r, zero_copy, owned);
        FUZZ_CHECK(owned.empty());
    }
    return r;
}

template <class R>
Bytes encoded(const R &r) {
    return kest::encode(r);
}

constexpr uint8_t kFill = 0xEE;
constexpr size_t kGuard = 16;
const kest_segment kUnused{nullptr, 0xDEADBEEF};

inline bool untouched(const kest_segment &s) { return s.base == kUnused.base && s.len == kUnused.len; }

// One encode mode checked against the calling contract; returns the segments joined.
template <class R>
Bytes encode_checked(const R &r, uint32_t flags, Reader &pick) {
    const uint64_t size = api::encode(&r, nullptr, 0, nullptr, nullptr, flags);
    uint32_t count = 0;
    FUZZ_CHECK(api::encode(&r, nullptr, 0, nullptr, &count, flags) == size);

    Bytes buf(size + kGuard, kFill);
    std::vector<kest_segment> segs(count + 1, kUnused);
    uint32_t n = count;
    FUZZ_CHECK(api::encode(&r, buf.data(), size, segs.data(), &n, flags) == size && n == count);
    FUZZ_CHECK(std::all_of(buf.begin() + size, buf.end(), [](uint8_t b) { return b == kFill; }));
    FUZZ_CHECK(untouched(segs[count]));

    // In order, the segments in the buffer cover bytes 0 to size - 1 once each.
    const auto first = reinterpret_cast<uintptr_t>(buf.data());
    auto in_buffer = [&](const kest_segment &s) {
        const auto at = reinterpret_cast<uintptr_t>(s.base);
        return at >= first && at <= first + size;
    };
    Bytes joined;
    uint64_t covered = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const kest_segment &s = segs[i];
        FUZZ_CHECK(s.len != 0);
        if (in_buffer(s)) {
            FUZZ_CHECK(s.base == buf.data() + covered && s.len <= size - covered);
            covered += s.len;
        }
        joined.insert(joined.end(), s.base, s.base + s.len);
    }
    FUZZ_CHECK(covered == size);
    if (!(flags & ZC)) FUZZ_CHECK(std::equal(joined.begin(), joined.end(), buf.begin(), buf.begin() + size));

    // Without a segment count the buffer gets the same bytes.
    Bytes plain(size + kGuard, kFill);
    FUZZ_CHECK(api::encode(&r, plain.data(), size, nullptr, nullptr, flags) == size && plain == buf);

    // Short buffer and vector: only what fits is stored, result and count unchanged.
    const uint64_t len = pick.below(size + 1);
    const uint32_t cap = static_cast<uint32_t>(pick.below(count + 1));
    Bytes sbuf(len + kGuard, kFill);
    std::vector<kest_segment> ssegs(cap + 1, kUnused);
    uint32_t sn = cap;
    FUZZ_CHECK(api::encode(&r, sbuf.data(), len, ssegs.data(), &sn, flags) == size && sn == count);
    for (uint64_t i = 0; i < len; ++i) FUZZ_CHECK(sbuf[i] == buf[i] || sbuf[i] == kFill);
    FUZZ_CHECK(std::all_of(sbuf.begin() + len, sbuf.end(), [](uint8_t b) { return b == kFill; }));
    FUZZ_CHECK(untouched(ssegs[cap]));
    for (uint32_t i = 0; i < std::min(cap, count); ++i) {
        FUZZ_CHECK(ssegs[i].len == segs[i].len);
        if (!in_buffer(segs[i])) FUZZ_CHECK(ssegs[i].base == segs[i].base);
    }
    return joined;
}

// Every encode invariant; returns the encoding.
template <class R>
Bytes check_encode(const R &r, Reader &pick) {
    const Bytes wire = encode_checked(r, 0, pick);
    if constexpr (owns_memory<R>) FUZZ_CHECK(encode_checked(r, ZC, pick) == wire);
    return wire;
}

// Allocation numbers to refuse: all of them for small copies, else both ends and a
// few fuzzer-chosen ones.
inline std::vector<long> failure_points(long calls, Reader &pick) {
    std::vector<long> ks;
    for (long k = 0; k < calls; ++k)
        if (calls <= 48 || k < 8 || k >= calls - 8) ks.push_back(k);
    if (calls > 48)
        for (int i = 0; i < 8; ++i) ks.push_back(static_cast<long>(pick.below(static_cast<uint64_t>(calls))));
    return ks;
}

// Duplicate: a full copy with a working allocator; with a refusing one, exactly the
// refused member empty and everything released completely.
template <class R>
void check_duplicates(const R &src, const Bytes &wire, Reader &pick) {
    long calls;
    {
        Pool pool;
        R dst;
        std::memset(&dst, 0xA5, sizeof dst);
        const auto spare = dst.present & spare_bits<R>;
        FUZZ_CHECK(api::duplicate(&dst, &src, Pool::alloc, &pool) == KEST_OK);
        CopyCheck c;
        check_copy(dst, src, c);
        FUZZ_CHECK(c.ok && c.failures == 0 && c.blocks == pool.calls);
        FUZZ_CHECK((dst.present & spare_bits<R>) == spare);
        check_owned(dst, false, pool);
        FUZZ_CHECK(encoded(dst) == wire);
        release_checked(dst, 0, pool);
        calls = pool.calls;
    }
    {
        R dst;
        const int32_t rc = api::duplicate(&dst, &src, nullptr, nullptr);
        FUZZ_CHECK(rc == (calls ? KEST_ERR_NO_MEMORY : KEST_OK));
        CopyCheck c;
        check_copy(dst, src, c);
        FUZZ_CHECK(c.ok && c.blocks == 0 && (c.failures != 0) == (calls != 0));
    }
    for (long k : failure_points(calls, pick)) {
        Pool pool;
        pool.fail_at = k;
        R dst;
        std::memset(&dst, 0xA5, sizeof dst);
        FUZZ_CHECK(api::duplicate(&dst, &src, Pool::alloc, &pool) == KEST_ERR_NO_MEMORY);
        CopyCheck c;
        check_copy(dst, src, c);
        FUZZ_CHECK(c.ok && c.failures == 1 && c.first_failure_at == k);
        check_owned(dst, false, pool);
        release_checked(dst, 0, pool);
    }
}

}  // namespace kest_fuzz
