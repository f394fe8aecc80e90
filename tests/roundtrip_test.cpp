// Properties that hold for every record of every message, over pseudo-random
// records, and what happens when any one allocation fails.
#include "record_walk.hpp"
#include "support.hpp"

#include <algorithm>
#include <memory>
#include <random>

namespace {

using namespace kt;
using namespace kt::generic;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;
constexpr uint8_t kGuard = 0x5A;

// Pseudo-random records. `full` sets every presence bit and gives every payload
// and run content, so that each one costs an allocation.
struct Gen {
    std::mt19937_64 rng;
    std::vector<std::shared_ptr<void>> keep;  // element arrays live as long as the generator
    uint8_t pool[64];

    explicit Gen(uint64_t seed) : rng(seed) {
        for (auto &b : pool) b = static_cast<uint8_t>(rng());
    }
    // Half the time an extreme (truncated to the member's width), else any width.
    template <class T>
    T value() {
        const uint64_t edges[] = {0, 127, 128, ~uint64_t{0}};
        const uint64_t v = rng() % 2 ? rng() >> (rng() % 64) : edges[rng() % 4];
        return static_cast<T>(std::is_same_v<T, bool> ? v & 1 : v);
    }
    template <class R>
    void fill(R &m, bool full) {
        kc::for_each_field<R>([&]<class F, size_t>() {
            auto &v = m.*F::member;
            if constexpr (is_bytes<F>) {
                const uint64_t n = full ? 1 + rng() % 16 : rng() % 17;
                v = pool + rng() % (sizeof pool - n + 1);
                m.*size_member<F>::value = n;
            } else if constexpr (is_run<F>) {
                using E = std::remove_pointer_t<std::remove_reference_t<decltype(v)>>;
                auto arr = std::make_shared<std::vector<E>>(full ? 2 + rng() % 2 : rng() % 6);
                for (E &e : *arr) fill(e, full);
                keep.push_back(arr);
                v = arr->data();
                m.*size_member<F>::value = static_cast<uint32_t>(arr->size());
            } else {
                v = value<std::remove_reference_t<decltype(v)>>();
            }
        });
        m.present = static_cast<decltype(m.present)>(full ? ~uint64_t{0} : rng());
    }
};

Bytes join(const std::vector<kest_segment> &segs) {
    Bytes out;
    for (const kest_segment &s : segs) out.insert(out.end(), s.base, s.base + s.len);
    return out;
}

template <class R>
Bytes encode(const R &m) {
    return kest::encode(m);
}

template <class R>
void check_record(const R &m, Gen &stale) {
    // Size queries, without and with a segment count of 0.
    const uint64_t size = api::encode(&m, nullptr, 0, nullptr, nullptr, 0);
    const uint64_t zsize = api::encode(&m, nullptr, 0, nullptr, nullptr, ZC);
    uint32_t count = 0, zcount = 0;
    EXPECT_EQ(api::encode(&m, nullptr, 0, nullptr, &count, 0), size);
    EXPECT_EQ(api::encode(&m, nullptr, 0, nullptr, &zcount, ZC), zsize);

    Bytes wire(size), zbuf(zsize);
    std::vector<kest_segment> segs(count), zsegs(zcount);
    uint32_t n = count, zn = zcount;
    ASSERT_EQ(api::encode(&m, wire.data(), size, segs.data(), &n, 0), size);
    ASSERT_EQ(api::encode(&m, zbuf.data(), zsize, zsegs.data(), &zn, ZC), zsize);
    ASSERT_EQ(n, count);
    ASSERT_EQ(zn, zcount);
    EXPECT_EQ(to_hex(join(segs)), to_hex(wire));
    EXPECT_EQ(to_hex(join(zsegs)), to_hex(wire));

    for (uint32_t flags : {0u, ZC}) {
        Tracker t;
        R got, dup;
        stale.fill(got, false);  // decode clears it, duplicate overwrites it
        stale.fill(dup, false);
        EXPECT_EQ(api::decode(&got, wire.data(), size, Tracker::alloc, &t, flags), KEST_OK);
        EXPECT_TRUE(same_on_wire(m, got)) << "decoded as " << to_hex(encode(got));
        const auto in_input = [&](const uint8_t *p, uint64_t len) {
            EXPECT_TRUE(p >= wire.data() && p + len <= wire.data() + size);
        };
        if (flags) walk_blocks(got, in_input, [](const void *) {});
        EXPECT_EQ(api::duplicate(&dup, &got, Tracker::alloc, &t), KEST_OK);
        CopyCheck c;
        check_copy(dup, got, c);
        EXPECT_TRUE(c.ok && c.failures == 0);
        EXPECT_EQ(to_hex(encode(dup)), to_hex(wire));
        api::release(&got, Tracker::release, &t, flags);
        api::release(&dup, Tracker::release, &t, 0);
        t.expect_clean();
    }

    // Where the payloads sit in the copy-mode bytes: one that does not fit a short
    // buffer whole is not written at all.
    std::vector<std::pair<uint64_t, uint64_t>> payloads;
    uint64_t at = 0;
    for (const kest_segment &s : zsegs) {
        if (!(s.base >= zbuf.data() && s.base < zbuf.data() + zsize)) payloads.emplace_back(at, at + s.len);
        at += s.len;
    }
    for (uint32_t flags : {0u, ZC}) {
        const Bytes &whole = flags ? zbuf : wire;
        const uint32_t total = flags ? zcount : count;
        for (uint64_t len = 0; len < whole.size(); ++len) {
            Bytes buf(whole.size() + 4, kGuard), want(whole.begin(), whole.begin() + len);
            want.resize(buf.size(), kGuard);
            for (auto [a, b] : payloads)
                if (!flags && a < len && b > len) std::fill(want.begin() + a, want.begin() + std::min(b, len), kGuard);
            std::vector<kest_segment> out(total + 1, kest_segment{nullptr, 7});
            const uint32_t cap = static_cast<uint32_t>(len % (total + 1));
            uint32_t k = cap;
            ASSERT_EQ(api::encode(&m, buf.data(), len, out.data(), &k, flags), whole.size()) << "buflen " << len;
            ASSERT_EQ(k, total) << "buflen " << len;
            ASSERT_EQ(to_hex(buf), to_hex(want)) << "buflen " << len;
            for (uint32_t i = cap; i < out.size(); ++i) ASSERT_EQ(out[i].len, 7u) << "segment " << i;
        }
    }
}

template <class R>
void property(uint64_t seed) {
    Gen g(seed), stale(~seed);
    for (int i = 0; i < 300 && !::testing::Test::HasFailure(); ++i) {
        R m;
        g.fill(m, false);
        SCOPED_TRACE("record " + std::to_string(i) + ": " + to_hex(encode(m)));
        check_record(m, stale);
    }
}

TEST(RoundTrip, Opaque) { property<srg_opaque>(1); }
TEST(RoundTrip, Cmd) { property<srg_cmd_msg>(2); }
TEST(RoundTrip, Sync) { property<srg_sync_msg>(3); }
TEST(RoundTrip, Neg) { property<srg_neg_msg>(4); }
TEST(RoundTrip, Dhcpv4) { property<srg_opq_dhcpv4_msg>(5); }
TEST(RoundTrip, IaId) { property<ia_id_msg>(6); }
TEST(RoundTrip, Dhcpv6) { property<srg_opq_dhcpv6_msg>(7); }

// Every allocation of a duplicate and of a copying decode fails in turn: the call
// reports it, the failing member is the one that allocation was for, and what the
// record holds is released exactly once.
template <class R>
void fail_each_allocation(uint64_t seed, int top_level_owners) {
    Gen g(seed);
    R src, dst;
    g.fill(src, true);
    CopyCheck bare;
    EXPECT_EQ(api::duplicate(&dst, &src, nullptr, nullptr), KEST_ERR_NO_MEMORY);
    check_copy(dst, src, bare);
    EXPECT_TRUE(bare.ok);
    EXPECT_EQ(bare.failures, top_level_owners);

    const Bytes wire = encode(src);
    Tracker whole;
    R full{};
    ASSERT_EQ(api::decode(&full, wire.data(), wire.size(), Tracker::alloc, &whole, 0), KEST_OK);
    for (bool dup : {true, false}) {
        int k = 0;
        for (;; ++k) {
            SCOPED_TRACE((dup ? "duplicate" : "decode") + std::string(", refusing allocation ") + std::to_string(k));
            Tracker t;
            t.fail_at = k;
            const int32_t rc = dup ? api::duplicate(&dst, &src, Tracker::alloc, &t)
                                   : api::decode(&dst, wire.data(), wire.size(), Tracker::alloc, &t, 0);
            const bool done = t.allocs() <= k;
            EXPECT_EQ(rc, done ? KEST_OK : KEST_ERR_NO_MEMORY);
            if (dup) {
                CopyCheck c;
                check_copy(dst, src, c);
                EXPECT_TRUE(c.ok);
                EXPECT_EQ(c.failures, done ? 0 : 1);
                EXPECT_EQ(c.first_failure_at, done ? -1 : k);
            } else if (!done) {
                uint64_t left = static_cast<uint64_t>(k);
                bool reached = false;
                EXPECT_TRUE(matches_failed_decode(dst, full, left, false, reached) && reached);
            }
            api::release(&dst, Tracker::release, &t, 0);
            t.expect_clean();
            if (done || k == 500 || ::testing::Test::HasFailure()) break;
        }
        EXPECT_LT(k, 500);
    }
    api::release(&full, Tracker::release, &whole, 0);
    whole.expect_clean();
}

TEST(FailureInjection, EveryAllocation) {
    fail_each_allocation<srg_cmd_msg>(11, 1);
    fail_each_allocation<srg_sync_msg>(12, 3);
    fail_each_allocation<ia_id_msg>(13, 1);
    fail_each_allocation<srg_opq_dhcpv4_msg>(14, 12);
    fail_each_allocation<srg_opq_dhcpv6_msg>(15, 19);
}

}  // namespace
