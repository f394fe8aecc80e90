// Calls on different records at the same time: several threads encode the same
// shared records while each decodes, duplicates and releases records of its own
// from the same read-only input. Built for ThreadSanitizer by scripts/test.sh; the
// results are checked as well.
#include "full_encodings.hpp"
#include "record_walk.hpp"
#include "support.hpp"

#include <atomic>
#include <thread>
#include <tuple>

namespace {

using namespace kt::generic;
using kt::Bytes;
using kt::Tracker;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;

struct Shared {
    std::tuple<srg_opaque, srg_cmd_msg, srg_sync_msg, srg_neg_msg, srg_opq_dhcpv4_msg, ia_id_msg,
               srg_opq_dhcpv6_msg>
        records;
    Tracker owner;
};

// One round of every operation for one message; returns the number of mismatches.
template <class R>
int one_round(const R &shared) {
    const Bytes wire = kt::hex(full_encoding<R>);
    int wrong = 0;
    for (uint32_t flags : {0u, ZC}) {
        uint32_t count = 0;
        const uint64_t size = api::encode(&shared, nullptr, 0, nullptr, &count, flags);
        Bytes buf(size);
        std::vector<kest_segment> segs(count);
        uint32_t n = count;
        api::encode(&shared, buf.data(), size, segs.data(), &n, flags);
        Bytes joined;
        for (const kest_segment &s : segs) joined.insert(joined.end(), s.base, s.base + s.len);
        wrong += joined != wire;
        // A short buffer takes the encoder's other path, byte by byte.
        Bytes part(size / 2);
        n = count;
        wrong += api::encode(&shared, part.data(), part.size(), segs.data(), &n, flags) != size;
        for (size_t i = 0; i < part.size(); ++i) wrong += part[i] != buf[i] && part[i] != 0;  // or not stored

        Tracker t;
        R mine, copy;
        wrong += api::decode(&mine, wire.data(), wire.size(), Tracker::alloc, &t, flags) != KEST_OK;
        wrong += api::duplicate(&copy, &mine, Tracker::alloc, &t) != KEST_OK;
        wrong += !same_on_wire(copy, shared);
        api::release(&mine, Tracker::release, &t, flags);
        api::release(&copy, Tracker::release, &t, 0);
        wrong += !t.live.empty() || t.bad_releases != 0;
    }
    return wrong;
}

TEST(Threads, SharedEncodesBesideSeparateDecodes) {
    Shared shared;
    for_each_message([&]<class R>() {
        const Bytes wire = kt::hex(full_encoding<R>);
        R &r = std::get<R>(shared.records);
        ASSERT_EQ(api::decode(&r, wire.data(), wire.size(), Tracker::alloc, &shared.owner, 0), KEST_OK);
    });

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int round = 0; round < 25; ++round)
                for_each_message([&]<class R>() { wrong += one_round(std::get<R>(shared.records)); });
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);

    for_each_message([&]<class R>() { api::release(&std::get<R>(shared.records), Tracker::release, &shared.owner, 0); });
    shared.owner.expect_clean();
}

}  // namespace
