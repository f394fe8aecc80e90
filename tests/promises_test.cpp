// Promises no single vector shows: a refused allocation at any point of a decode or
// a duplicate leaves a record that is consistent and that free_ext releases
// completely, and decode and encode stay inside the caller's buffers even without
// a sanitizer watching.
#include "full_encodings.hpp"
#include "record_walk.hpp"
#include "support.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <stdexcept>

namespace {

using namespace kt::generic;
using kt::Bytes;
using kt::Tracker;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;

template <class R>
class Promises : public ::testing::Test {};
using Messages = ::testing::Types<srg_opaque, srg_cmd_msg, srg_sync_msg, srg_neg_msg, srg_opq_dhcpv4_msg,
                                  ia_id_msg, srg_opq_dhcpv6_msg>;
struct MessageName {
    template <class R>
    static std::string GetName(int) {
        return std::string(kest::name_of<R>);
    }
};
TYPED_TEST_SUITE(Promises, Messages, MessageName);

template <class R>
std::set<const void *> owned_set(const R &r, bool zero_copy) {
    std::vector<const void *> blocks;
    owned_blocks(r, zero_copy, blocks);
    EXPECT_EQ(std::set<const void *>(blocks.begin(), blocks.end()).size(), blocks.size()) << "block owned twice";
    return {blocks.begin(), blocks.end()};
}

std::set<const void *> live_set(const Tracker &t) {
    std::set<const void *> live;
    for (const auto &kv : t.live) live.insert(kv.first);
    return live;
}

// A record full of stale bytes, as decode and duplicate may find their target.
template <class R>
R stale() {
    R r;
    std::memset(&r, 0xA5, sizeof r);
    return r;
}

template <class R>
auto spare_of(const R &r) {
    return r.present & spare_bits<R>;
}

template <class R>
R decoded(const Bytes &wire, Tracker &t, uint32_t flags) {
    R r{};
    EXPECT_EQ(api::decode(&r, wire.data(), wire.size(), Tracker::alloc, &t, flags), KEST_OK);
    return r;
}

TYPED_TEST(Promises, StoredEncodingIsFullyPopulated) {
    using R = TypeParam;
    const Bytes wire = kt::hex(full_encoding<R>);
    Tracker t;
    R r = decoded<R>(wire, t, 0);
    EXPECT_EQ(r.present, kc::field_mask<R>);
    walk_blocks(r, [](const uint8_t *, uint64_t n) { EXPECT_GT(n, 0u); },
                [](const void *) {});
    Bytes again(wire.size());
    EXPECT_EQ(api::encode(&r, again.data(), again.size(), nullptr, nullptr, 0), wire.size());
    EXPECT_EQ(kt::to_hex(again), kt::to_hex(wire));
    api::release(&r, Tracker::release, &t, 0);
    t.expect_clean();
}

// Allocation k refused, for every k until the decode needs no more: the fields
// before the failing one are stored, it and the later ones are not.
TYPED_TEST(Promises, DecodeSurvivesEveryRefusedAllocation) {
    using R = TypeParam;
    const Bytes wire = kt::hex(full_encoding<R>);
    for (uint32_t flags : {0u, ZC}) {
        Tracker whole;
        R full = decoded<R>(wire, whole, flags);
        for (int k = 0;; ++k) {
            SCOPED_TRACE(testing::Message() << "flags " << flags << ", allocation " << k << " refused");
            Tracker t;
            t.fail_at = k;
            R part = stale<R>();
            const auto spare = spare_of(part);
            const int32_t rc = api::decode(&part, wire.data(), wire.size(), Tracker::alloc, &t, flags);
            if (k == whole.allocs()) {
                EXPECT_EQ(rc, KEST_OK);
                EXPECT_TRUE(same_on_wire(part, full));
            } else {
                ASSERT_EQ(rc, KEST_ERR_NO_MEMORY);
                EXPECT_EQ(t.allocs(), k + 1);
                uint64_t left = static_cast<uint64_t>(k);
                bool reached = false;
                EXPECT_TRUE(matches_failed_decode(part, full, left, flags & ZC, reached));
                EXPECT_TRUE(reached);
            }
            EXPECT_EQ(spare_of(part), spare);
            EXPECT_EQ(owned_set(part, flags & ZC), live_set(t));
            api::release(&part, Tracker::release, &t, flags);
            t.expect_clean();
            if (rc == KEST_OK) break;
        }
        api::release(&full, Tracker::release, &whole, flags);
        whole.expect_clean();
    }
}

// The members duplicate decides by length alone: an empty payload behind a set bit
// and a stray pointer, a payload behind a clear bit, an empty run behind a set bit.
template <class R>
R odd_copy_of(const R &full) {
    R r = full;
    static const uint8_t stray = 0;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        if constexpr (is_bytes<F>) {
            if (I % 2) {
                r.present &= static_cast<kc::presence_t<R>>(~kc::bit<R, I>);
            } else {
                r.*F::member = &stray;
                r.*size_member<F>::value = 0;
            }
        } else if constexpr (is_run<F>) {
            r.*size_member<F>::value = 0;
        }
    });
    return r;
}

// Every allocation of a duplicate refused in turn: exactly that member is empty with
// its bit clear, the rest a full copy, and free_ext gives back all that was handed out.
TYPED_TEST(Promises, DuplicateSurvivesEveryRefusedAllocation) {
    using R = TypeParam;
    const Bytes wire = kt::hex(full_encoding<R>);
    Tracker source;
    R copied = decoded<R>(wire, source, 0);
    R borrowed = decoded<R>(wire, source, ZC);
    const std::pair<const char *, R> cases[] = {
        {"copy-mode decode", copied}, {"zero-copy decode", borrowed}, {"odd members", odd_copy_of(copied)}};
    for (const auto &[name, src] : cases) {
        SCOPED_TRACE(name);
        Tracker whole;
        R dst = stale<R>();
        ASSERT_EQ(api::duplicate(&dst, &src, Tracker::alloc, &whole), KEST_OK);
        CopyCheck full;
        check_copy(dst, src, full);
        EXPECT_TRUE(full.ok);
        EXPECT_EQ(full.failures, 0);
        EXPECT_EQ(full.blocks, whole.allocs());
        api::release(&dst, Tracker::release, &whole, 0);
        whole.expect_clean();

        for (int k = 0; k < whole.allocs(); ++k) {
            SCOPED_TRACE(testing::Message() << "allocation " << k << " refused");
            Tracker t;
            t.fail_at = k;
            R part = stale<R>();
            const auto spare = spare_of(part);
            EXPECT_EQ(api::duplicate(&part, &src, Tracker::alloc, &t), KEST_ERR_NO_MEMORY);
            CopyCheck c;
            check_copy(part, src, c);
            EXPECT_TRUE(c.ok);
            EXPECT_EQ(c.failures, 1);
            EXPECT_EQ(c.first_failure_at, k);
            EXPECT_EQ(spare_of(part), spare);
            EXPECT_EQ(owned_set(part, false), live_set(t));
            api::release(&part, Tracker::release, &t, 0);
            t.expect_clean();
        }

        R bare;
        EXPECT_EQ(api::duplicate(&bare, &src, nullptr, nullptr), whole.allocs() ? KEST_ERR_NO_MEMORY : KEST_OK);
        CopyCheck c;
        check_copy(bare, src, c);
        EXPECT_TRUE(c.ok);
        EXPECT_EQ(c.blocks, 0);
    }
    api::release(&copied, Tracker::release, &source, 0);
    api::release(&borrowed, Tracker::release, &source, ZC);
    source.expect_clean();
}

// `size` bytes that end right where an inaccessible page begins; read-only once
// filled unless asked to stay writable. A stray access faults without a sanitizer.
class Guarded {
  public:
    Guarded(const Bytes &content, bool writable)
        : size_(content.size()), page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
          span_((size_ + page_ - 1) / page_ * page_ + page_) {
        void *map = mmap(nullptr, span_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<uint8_t *>(map);
        data_ = base_ + span_ - size_;
        if (size_) std::memcpy(data_, content.data(), size_);
        const bool guarded = mprotect(base_ + span_, page_, PROT_NONE) == 0 &&
                             (writable || mprotect(base_, span_, PROT_READ) == 0);
        if (!guarded) throw std::runtime_error("mprotect failed");
    }
    ~Guarded() { munmap(base_, span_ + page_); }
    Guarded(const Guarded &) = delete;
    Guarded &operator=(const Guarded &) = delete;

    uint8_t *data() const { return data_; }
    Bytes bytes() const { return Bytes(data_, data_ + size_); }

  private:
    size_t size_, page_, span_;
    uint8_t *base_ = nullptr, *data_ = nullptr;
};

// Every prefix of the stored encoding, and garbage made from it, decoded in every
// mode from read-only memory that ends at a guard page.
TYPED_TEST(Promises, DecodeStaysInsideReadOnlyInput) {
    using R = TypeParam;
    const Bytes wire = kt::hex(full_encoding<R>);
    std::vector<Bytes> inputs;
    for (size_t n = 0; n <= wire.size(); ++n) inputs.emplace_back(wire.begin(), wire.begin() + n);
    for (size_t i = 0; i < wire.size(); ++i) {
        Bytes flipped = wire;
        flipped[i] ^= 0x80;  // a varint that ends early or runs on
        inputs.push_back(flipped);
        inputs.emplace_back(wire.begin() + i, wire.end());  // starting mid-field
    }
    uint32_t x = 2463534242u;
    for (size_t n = 1; n <= 96; ++n) {
        Bytes noise(n);
        for (auto &b : noise) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b = static_cast<uint8_t>(x);
        }
        inputs.push_back(noise);
    }

    int failed = 0;
    for (const Bytes &input : inputs) {
        const Guarded in(input, false);
        for (uint32_t flags : {0u, ZC}) {
            for (bool with_alloc : {true, false}) {
                Tracker t;
                R r{};
                const int32_t rc = api::decode(&r, in.data(), input.size(), with_alloc ? Tracker::alloc : nullptr,
                                               &t, flags);
                EXPECT_TRUE(rc <= KEST_OK && rc >= KEST_ERR_NO_MEMORY) << rc;
                failed += rc != KEST_OK;
                api::release(&r, Tracker::release, &t, flags);
                t.expect_clean();
            }
        }
        EXPECT_EQ(in.bytes(), input);
    }
    EXPECT_GT(failed, 0);  // the garbage did reach the error paths
}

// Every buffer length up to the full size, the buffer ending at a guard page: the
// encoder stores only below buflen and still reports the whole encoding.
TYPED_TEST(Promises, EncodeStaysInsideShortBuffers) {
    using R = TypeParam;
    const Bytes wire = kt::hex(full_encoding<R>);
    Tracker t;
    R r = decoded<R>(wire, t, 0);
    for (uint32_t flags : {0u, ZC}) {
        uint32_t count = 0;
        const uint64_t size = api::encode(&r, nullptr, 0, nullptr, &count, flags);
        std::vector<kest_segment> segs(count);
        for (uint64_t len = 0; len <= size; ++len) {
            SCOPED_TRACE(testing::Message() << "flags " << flags << ", buflen " << len);
            const Guarded out(Bytes(len, 0x5A), true);
            uint32_t n = count;
            EXPECT_EQ(api::encode(&r, out.data(), len, segs.data(), &n, flags), size);
            EXPECT_EQ(n, count);
            if (!flags) {
                for (uint64_t i = 0; i < len; ++i)
                    ASSERT_TRUE(out.data()[i] == wire[i] || out.data()[i] == 0x5A) << "byte " << i;
            }
        }
    }
    api::release(&r, Tracker::release, &t, 0);
    t.expect_clean();
}

}  // namespace
