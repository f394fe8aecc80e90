// kest.hpp: what an owning record releases and with which flag, the allocator
// adapters, and the three ways to encode.
#include <kest.hpp>

#include "support.hpp"

#include <unistd.h>

#include <array>
#include <set>

namespace {

using kt::Bytes;
using kt::Tracker;

kest::allocator tracked(Tracker &t) { return {Tracker::alloc, Tracker::release, &t}; }

// srg_sync_msg: f6 = AB CD, f12 = EE, f15 = two srg_opaque, each with a payload.
const Bytes kSync = kt::hex("32 02 AB CD 62 01 EE 7A 05 08 01 1A 01 11 7A 04 1A 02 22 33");

bool inside(const void *p, const void *begin, size_t n) {
    const auto at = reinterpret_cast<uintptr_t>(p), start = reinterpret_cast<uintptr_t>(begin);
    return at >= start && at < start + n;
}

TEST(Record, ReleasesWithTheFlagOfItsDecode) {
    for (const kest::mode mode : {kest::mode::copy, kest::mode::zero_copy}) {
        const bool borrowed = mode == kest::mode::zero_copy;
        SCOPED_TRACE(borrowed);
        Tracker t;
        {
            kest::record<srg_sync_msg> r(tracked(t));
            ASSERT_EQ(r.decode(kSync, mode), kest::errc::ok);
            EXPECT_EQ(r.borrows(), borrowed);
            EXPECT_EQ(inside(r->f15[1].f3, kSync.data(), kSync.size()), borrowed);
            EXPECT_EQ(t.allocs(), borrowed ? 1 : 5);  // the array alone, or with every payload
            EXPECT_EQ(kest::encode(*r), kSync);
        }
        EXPECT_EQ(t.released.size(), borrowed ? 1u : 5u);
        t.expect_clean();  // a borrowed payload handed to release counts as foreign
    }
}

TEST(Record, RedecodeMoveAndCopyReleaseWhatWasLeft) {
    Tracker t;
    {
        kest::record<srg_sync_msg> r(tracked(t));
        ASSERT_EQ(r.decode(kSync, kest::mode::zero_copy), kest::errc::ok);
        ASSERT_EQ(r.decode(kSync), kest::errc::ok);
        ASSERT_EQ(r.decode(kSync, kest::mode::zero_copy), kest::errc::ok);
        EXPECT_EQ(t.live.size(), 1u);

        kest::record<srg_sync_msg> copy(tracked(t));
        ASSERT_EQ(copy.copy_from(*r), kest::errc::ok);
        EXPECT_FALSE(copy.borrows());
        EXPECT_EQ(t.live.size(), 6u);
        kest::record<srg_sync_msg> moved(std::move(r));
        EXPECT_EQ(r->present, 0u);
        EXPECT_TRUE(moved.borrows());
        copy = std::move(moved);  // the copy's five blocks go, the borrowed record's array stays
        EXPECT_EQ(t.live.size(), 1u);

        // A failed decode keeps what it attached, and that is released too.
        EXPECT_EQ(copy.decode(kt::hex("32 02 AB CD 7A 02 0D 00")), kest::errc::field_type);
        EXPECT_EQ(t.live.size(), 2u);
    }
    t.expect_clean();
}

TEST(Arena, HandsOutAlignedBlocksFromTheCallerBuffer) {
    alignas(std::max_align_t) std::array<std::byte, 512> storage{};
    kest::arena arena(storage);
    {
        kest::record<srg_sync_msg> r(arena.get());
        ASSERT_EQ(r.decode(kSync), kest::errc::ok);
        for (const void *p : {static_cast<const void *>(r->f6), static_cast<const void *>(r->f15),
                              static_cast<const void *>(r->f15[1].f3)})
            EXPECT_TRUE(inside(p, storage.data(), arena.used()));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r->f15) % alignof(std::max_align_t), 0u);
    }
    arena.reset();
    EXPECT_EQ(arena.used(), 0u);

    kest::arena tiny{std::span(storage).first(20)};  // both payloads fit, the element array does not
    kest::record<srg_sync_msg> r(tiny.get());
    EXPECT_EQ(r.decode(kSync), kest::errc::no_memory);
    EXPECT_EQ(r->f6_len, 2u);
}

TEST(Encode, VectorCallerStorageAndIovecs) {
    static const uint8_t payload[] = {0xAA, 0xBB, 0xCC};
    const srg_opaque msg{1, 0, payload, 3, 0x05};
    const Bytes expected = kt::hex("08 01 1A 03 AA BB CC");
    EXPECT_EQ(kest::encode(msg), expected);
    std::array<uint8_t, 16> storage{};
    for (size_t room : {16, 7, 6, 0}) {
        const auto written = kest::encode(msg, std::span(storage).first(room));
        ASSERT_EQ(written.has_value(), room >= 7) << room;
        if (written) {
            EXPECT_EQ(Bytes(written->begin(), written->end()), expected);
        }
    }

    std::vector<uint8_t> buffer;
    const std::vector<iovec> iov = kest::encode_iovec(msg, buffer);
    ASSERT_EQ(iov.size(), 2u);
    EXPECT_EQ(iov[0].iov_base, buffer.data());
    EXPECT_EQ(iov[0].iov_len, 4u);
    EXPECT_EQ(iov[1].iov_base, payload);  // not copied
    EXPECT_EQ(iov[1].iov_len, 3u);

    // Runs of elements with payloads, through a real writev.
    kest::record<srg_sync_msg> r;
    ASSERT_EQ(r.decode(kSync, kest::mode::zero_copy), kest::errc::ok);
    const std::vector<iovec> parts = kest::encode_iovec(*r, buffer);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(writev(fds[1], parts.data(), static_cast<int>(parts.size())),
              static_cast<ssize_t>(kSync.size()));
    close(fds[1]);
    Bytes sent(64);
    sent.resize(static_cast<size_t>(read(fds[0], sent.data(), sent.size())));
    close(fds[0]);
    EXPECT_EQ(sent, kSync);

    // srg_neg_msg, through its reduced functions.
    kest::record<srg_neg_msg> neg;
    ASSERT_EQ(neg.decode(kt::hex("08 05 30 01 80 01 09"), kest::mode::zero_copy), kest::errc::ok);
    EXPECT_EQ(kest::encode(*neg), kt::hex("08 05 30 01 80 01 09"));
    EXPECT_EQ(neg.decode(kt::hex("30")), kest::errc::malformed);
}

TEST(Errc, NamesAndMeanings) {
    std::set<std::string_view> meanings;
    for (int32_t code = 1; code >= -5; --code) meanings.insert(kest::describe(kest::errc{code}));
    EXPECT_EQ(meanings.size(), 6u) << "each code its own meaning, one for all unknown codes";
    EXPECT_EQ(kest::to_string(kest::errc{KEST_ERR_FIELD_TYPE}), "KEST_ERR_FIELD_TYPE");
}

}  // namespace
