// Wire rules and the srg_opaque codec, driven through the exported C API.
#include "support.hpp"

#include <algorithm>
#include <array>
#include <random>

namespace {

using kt::Bytes;
using kt::Tracker;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;
constexpr int32_t OK = KEST_OK, BAD = KEST_ERR_MALFORMED, WT = KEST_ERR_WIRE_TYPE,
                  FT = KEST_ERR_FIELD_TYPE, NOMEM = KEST_ERR_NO_MEMORY;

// Every record's payload comes from here: AA BB CC DD EE FF 10 ...
const std::array<uint8_t, 300> kPay = [] {
    std::array<uint8_t, 300> a{};
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(0xAA + 0x11 * i);
    return a;
}();

// f3 is never null, so "empty" payloads also carry a stray pointer.
srg_opaque op(uint32_t f1, uint32_t f2, uint64_t len, uint8_t present) {
    return srg_opaque{f1, f2, kPay.data(), len, present};
}

// The payload as the tables write it; "-" is a null pointer with length 0.
std::string payload(const srg_opaque &m) {
    if (!m.f3) return m.f3_len ? "null with length " + std::to_string(m.f3_len) : "-";
    return kt::to_hex(m.f3, m.f3_len);
}

enum class Al { none, track, refuse };  // refuse: the first allocation answers null
const Al N = Al::none, T = Al::track, R = Al::refuse;

kest_alloc_fn alloc_of(Al a, Tracker &t) {
    if (a == Al::refuse) t.fail_at = 0;
    return a == Al::none ? nullptr : Tracker::alloc;
}

bool owned(const Tracker &t, const uint8_t *p) { return t.live.count(const_cast<uint8_t *>(p)) == 1; }

// ---------------------------------------------------------------- encode

constexpr int64_t PAY = -1;  // segment offset standing for "the record's payload"
struct Seg { int64_t off; uint64_t len; };
struct EncCase {
    srg_opaque msg;
    uint32_t flags;
    uint64_t buflen;
    int cap;                // segment capacity; -1 passes a null nsegs
    uint64_t result;
    const char *buf;        // all buflen bytes after the call; 5A was never written
    std::vector<Seg> segs;  // every segment of the encoding: the count comes back as its size
};

const srg_opaque A = op(1, 0, 3, 0x05);  // f1 = 1, f3 = AA BB CC

const EncCase kEnc[] = {
    {op(127, 0, 0, 0x01), 0, 2, 1, 2, "08 7F", {{0, 2}}},
    {op(128, 0, 0, 0x01), 0, 3, 1, 3, "08 80 01", {{0, 3}}},
    {op(16383, 0, 0, 0x01), 0, 3, 1, 3, "08 FF 7F", {{0, 3}}},
    {op(16384, 0, 0, 0x01), 0, 4, 1, 4, "08 80 80 01", {{0, 4}}},
    {op(0xFFFFFFFF, 0, 0, 0x01), 0, 6, 1, 6, "08 FF FF FF FF 0F", {{0, 6}}},
    {op(300, 0, 0, 0x03), 0, 5, 1, 5, "08 AC 02 10 00", {{0, 5}}},
    {op(5, 0xFFFFFFFF, 0, 0x02), 0, 7, 1, 6, "10 FF FF FF FF 0F 5A", {{0, 6}}},
    {op(9, 0, 3, 0x01), ZC, 2, 2, 2, "08 09", {{0, 2}}},
    {op(1, 2, 3, 0xF8), ZC, 2, 2, 0, "5A 5A", {}},
    {op(1, 2, 3, 0xF9), 0, 3, 2, 2, "08 01 5A", {{0, 2}}},
    {op(0, 0, 0, 0x00), ZC, 0, 4, 0, "", {}},
    {op(0, 0, 0, 0x04), 0, 2, 1, 2, "1A 00", {{0, 2}}},
    {op(1, 0, 0, 0x05), ZC, 4, 2, 4, "08 01 1A 00", {{0, 4}}},
    {op(0, 0, 300, 0x04), ZC, 3, 2, 3, "1A AC 02", {{0, 3}, {PAY, 300}}},
    // copy mode: size queries, short buffers, payload copied only when whole
    {A, 0, 0, -1, 7, "", {}},
    {A, 0, 0, 2, 7, "", {{0, 7}}},
    {A, 0, 7, 1, 7, "08 01 1A 03 AA BB CC", {{0, 7}}},
    {A, 0, 7, 0, 7, "08 01 1A 03 AA BB CC", {{0, 7}}},
    {A, 0, 9, 4, 7, "08 01 1A 03 AA BB CC 5A 5A", {{0, 7}}},
    {A, 0, 6, 1, 7, "08 01 1A 03 5A 5A", {{0, 7}}},
    {A, 0, 3, 1, 7, "08 01 1A", {{0, 7}}},
    {A, 0xFFFFFFFE, 7, 1, 7, "08 01 1A 03 AA BB CC", {{0, 7}}},
    // zero-copy: run before the payload, then the payload itself
    {A, ZC, 4, 4, 4, "08 01 1A 03", {{0, 4}, {PAY, 3}}},
    {A, ZC, 4, 2, 4, "08 01 1A 03", {{0, 4}, {PAY, 3}}},
    {A, ZC, 4, 1, 4, "08 01 1A 03", {{0, 4}, {PAY, 3}}},
    {A, ZC, 4, 0, 4, "08 01 1A 03", {{0, 4}, {PAY, 3}}},
    {A, ZC, 0, 0, 4, "", {{0, 4}, {PAY, 3}}},
    {A, ZC, 2, 2, 4, "08 01", {{0, 4}, {PAY, 3}}},
    {A, ZC, 6, -1, 4, "08 01 1A 03 5A 5A", {}},
    {A, 3, 4, 2, 4, "08 01 1A 03", {{0, 4}, {PAY, 3}}},
};

TEST(OpaqueEncode, Table) {
    const kest_segment fill{kPay.data() + 1, 0xDEAD};
    for (size_t i = 0; i < std::size(kEnc); ++i) {
        const EncCase &c = kEnc[i];
        SCOPED_TRACE("row " + std::to_string(i));
        Bytes out(c.buflen + 4, 0x5A);
        uint8_t *buf = c.buflen ? out.data() : nullptr;
        std::array<kest_segment, 4> segs;
        segs.fill(fill);
        uint32_t n = static_cast<uint32_t>(std::max(c.cap, 0));
        EXPECT_EQ(kest_srg_opaque_encode_ext(&c.msg, buf, c.buflen, segs.data(), c.cap < 0 ? nullptr : &n, c.flags),
                  c.result);
        EXPECT_EQ(kt::to_hex(out), std::string(c.buf) + (c.buflen ? " " : "") + "5A 5A 5A 5A");
        EXPECT_EQ(n, c.cap < 0 ? 0 : c.segs.size()) << "segment count";
        const size_t stored = std::min(c.segs.size(), static_cast<size_t>(std::max(c.cap, 0)));
        for (size_t k = 0; k < segs.size(); ++k) {
            kest_segment want = fill;
            if (k < stored) want = {c.segs[k].off == PAY ? c.msg.f3 : buf + c.segs[k].off, c.segs[k].len};
            EXPECT_EQ(segs[k].base, want.base) << "segment " << k;
            EXPECT_EQ(segs[k].len, want.len) << "segment " << k;
        }
    }
}

// ---------------------------------------------------------------- decode

struct DecCase {
    const char *in;
    uint32_t flags;
    Al alloc;
    int32_t rc;
    uint32_t f1 = 0, f2 = 0;
    uint8_t bits = 0;                  // presence bits 0..2
    const char *f3 = "-";
    int off = -1;                      // zero-copy: where f3 points in the input
    std::vector<uint64_t> asked = {};  // allocation sizes, in call order
};

const DecCase kDec[] = {
    {"", 0, T, OK},
    {"08 05 10 07 1A 02 AA BB", 0, T, OK, 5, 7, 7, "AA BB", -1, {2}},
    {"08 05 10 07 1A 02 AA BB", ZC, T, OK, 5, 7, 7, "AA BB", 6},
    {"08 05 10 07 1A 02 AA BB", ZC, N, OK, 5, 7, 7, "AA BB", 6},
    {"1A 02 AA BB", 0xFFFFFFFE, T, OK, 0, 0, 4, "AA BB", -1, {2}},
    // varints: overlong, over-wide, cut to 32 bits
    {"88 80 80 80 80 00 05", 0, N, OK, 5, 0, 1},
    {"88 80 80 80 10 05", 0, N, OK, 5, 0, 1},
    {"08 FF FF FF FF FF FF FF FF FF 01", 0, N, OK, 0xFFFFFFFF, 0, 1},
    {"08 FF FF FF FF 1F", 0, N, OK, 0xFFFFFFFF, 0, 1},
    {"08 80 80 80 80 10", 0, N, OK, 0, 0, 1},
    {"10 85 80 80 80 80 80 80 80 80 80 80 80 00", 0, N, OK, 0, 5, 2},
    {"08 AC 02 10 01 08 03", 0, N, OK, 3, 1, 3},
    // input ending inside a tag, a value, a length or a payload
    {"88", 0, N, BAD}, {"08", 0, N, BAD}, {"08 80", 0, N, BAD}, {"1A", 0, T, BAD}, {"1A 83", 0, T, BAD},
    {"1A 03 AA BB", 0, T, BAD}, {"1A FF FF FF FF 0F AA", ZC, N, BAD},
    {"10 02 08 FF FF FF FF FF FF FF FF FF FF", 0, N, BAD, 0, 2, 2},
    {"08 01 1A 03 AA BB", ZC, N, BAD, 1, 0, 1},
    // unknown fields: 0, 1, 2, 5 skipped up to exactly the end, 3, 4, 6, 7 refused
    {"20 FF FF FF FF FF FF FF FF FF FF FF 01", 0, N, OK}, {"20 80", 0, N, BAD},
    {"21 01 02 03 04 05 06 07 08", 0, N, OK}, {"21 01 02 03 04 05 06 07", 0, N, BAD}, {"21 01 02 03", 0, N, BAD},
    {"22 02 AA BB", 0, N, OK}, {"22 03 AA BB", 0, N, BAD}, {"22 80", 0, N, BAD},
    {"25 01 02 03 04", 0, N, OK}, {"25 01 02 03", 0, N, BAD}, {"F8 FF FF FF 0F 01", 0, N, OK},
    {"24", 0, N, WT}, {"26", 0, N, WT}, {"27", 0, N, WT}, {"03", 0, N, WT},
    {"08 01 23", 0, N, WT, 1, 0, 1},
    {"08 01 20 01 21 01 02 03 04 05 06 07 08 22 01 AA 25 01 02 03 04 10 02", 0, N, OK, 1, 2, 3},
    {"00 05 02 01 AA 10 04", 0, N, OK, 0, 4, 2},
    // known fields with a foreign wire type
    {"0A 00", 0, N, FT}, {"0B", 0, N, FT}, {"0D 00 00 00 00", 0, N, FT}, {"11 00 00 00 00 00 00 00 00", 0, N, FT},
    {"18 01", 0, T, FT}, {"1B", 0, N, FT}, {"1D 00 00 00 00", ZC, N, FT},
    // a second f3 is refused; the first stays attached for free_ext
    {"1A 01 AA 1A 01 BB", 0, T, BAD, 0, 0, 4, "AA", -1, {1}},
    {"1A 01 AA 1A 01 BB", ZC, N, BAD, 0, 0, 4, "AA", 2},
    {"1A 00 1A 00", ZC, N, BAD, 0, 0, 4, "", 2},
    {"1A 00 1A 00", 0, T, BAD, 0, 0, 4, "", -1, {0}},
    // copy mode without allocator fails only on reaching a bytes field, before its length
    {"08 01 10 02", 0, N, OK, 1, 2, 3},
    {"08 01 1A 00", 0, N, NOMEM, 1, 0, 1},
    {"1A 05", 0, N, NOMEM},
    {"1A 00", 0, R, NOMEM, 0, 0, 0, "-", -1, {0}},
    {"08 01 1A 02 AA BB", 0, R, NOMEM, 1, 0, 1, "-", -1, {2}},
};

TEST(OpaqueDecode, Table) {
    for (const DecCase &c : kDec) {
        SCOPED_TRACE(std::string("input '") + c.in + "' flags " + std::to_string(c.flags));
        // Trailing 01 bytes would complete any truncated construct, so a read past
        // buflen turns into a wrong result rather than going unnoticed.
        Bytes in = kt::hex(c.in);
        const size_t n = in.size();
        in.resize(n + 12, 0x01);
        Tracker t;
        srg_opaque m{0xDEAD, 0xBEEF, kPay.data(), 77, 0xFF};
        EXPECT_EQ(kest_srg_opaque_decode_ext(&m, in.data(), n, alloc_of(c.alloc, t), &t, c.flags), c.rc);
        EXPECT_EQ(m.f1, c.f1);
        EXPECT_EQ(m.f2, c.f2);
        EXPECT_EQ(m.present, 0xF8 | c.bits);
        EXPECT_EQ(payload(m), c.f3);
        EXPECT_EQ(owned(t, m.f3), m.f3 && c.off < 0) << "copy mode hands back our block, zero-copy the input";
        if (c.off >= 0) {
            EXPECT_EQ(m.f3, in.data() + c.off);
        }
        EXPECT_EQ(t.sizes, c.asked);
        kest_srg_opaque_free_ext(&m, Tracker::release, &t, c.flags);
        t.expect_clean();
    }
}

// ---------------------------------------------------------------- duplicate and free

struct DupCase {
    srg_opaque src;
    Al alloc;
    int32_t rc;
    uint8_t bits;  // presence bits 0..2 of the copy
    const char *f3;
    std::vector<uint64_t> asked;
};

const DupCase kDup[] = {
    {op(1, 2, 0, 0x07), T, OK, 7, "-", {}},
    {op(1, 2, 0, 0x07), N, OK, 7, "-", {}},
    {op(1, 2, 5, 0x03), T, OK, 3, "AA BB CC DD EE", {5}},
    {op(0, 0, 3, 0x04), T, OK, 4, "AA BB CC", {3}},
    {op(7, 9, 3, 0x07), N, NOMEM, 3, "-", {}},
    {op(7, 9, 3, 0x07), R, NOMEM, 3, "-", {3}},
};

TEST(OpaqueDuplicate, Table) {
    for (size_t i = 0; i < std::size(kDup); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const DupCase &c = kDup[i];
        srg_opaque src = c.src;
        src.present |= 0x50;  // spare bits of the source must not leak into dst
        Tracker t;
        srg_opaque dst{0xDEAD, 0xBEEF, kPay.data() + 9, 77, 0xAF};
        EXPECT_EQ(kest_srg_opaque_duplicate(&dst, &src, alloc_of(c.alloc, t), &t), c.rc);
        EXPECT_EQ(dst.f1, src.f1);
        EXPECT_EQ(dst.f2, src.f2);
        EXPECT_EQ(dst.present, 0xA8 | c.bits);
        EXPECT_EQ(payload(dst), c.f3);
        EXPECT_EQ(owned(t, dst.f3), dst.f3 != nullptr) << "copy must be a fresh block";
        EXPECT_EQ(t.sizes, c.asked);
        kest_srg_opaque_free_ext(&dst, Tracker::release, &t, 0);
        EXPECT_EQ(t.released.size(), t.sizes.size() - (c.alloc == R));
        t.expect_clean();
    }
}

// A zero-copy decode borrows and its duplicate owns; each is released by its own rule.
TEST(OpaqueDuplicate, ZeroCopySourceThenRelease) {
    const Bytes in = kt::hex("10 09 1A 03 AA BB CC");
    Tracker t;
    srg_opaque src{}, dst{};
    ASSERT_EQ(kest_srg_opaque_decode_ext(&src, in.data(), in.size(), nullptr, nullptr, ZC), OK);
    ASSERT_EQ(kest_srg_opaque_duplicate(&dst, &src, Tracker::alloc, &t), OK);
    EXPECT_EQ(t.sizes, std::vector<uint64_t>{3});
    EXPECT_TRUE(owned(t, dst.f3));
    EXPECT_EQ(payload(dst), "AA BB CC");
    EXPECT_EQ(dst.f2, 9u);
    EXPECT_EQ(dst.present, 0x06);
    void *block = const_cast<uint8_t *>(dst.f3);
    kest_srg_opaque_free_ext(&src, Tracker::release, &t, ZC);
    kest_srg_opaque_free_ext(&dst, Tracker::release, &t, ZC);  // the flag leaves even owned payloads alone
    EXPECT_TRUE(t.released.empty());
    EXPECT_EQ(src.f3, in.data() + 4);
    kest_srg_opaque_free_ext(&dst, Tracker::release, &t, 0);
    kest_srg_opaque_free_ext(&dst, Tracker::release, &t, 0);
    EXPECT_EQ(t.released, std::vector<void *>{block});
    // Only the pointer goes; length, bits and scalars still describe the old contents.
    EXPECT_EQ(payload(dst), "null with length 3");
    EXPECT_EQ(dst.present, 0x06);
    EXPECT_EQ(dst.f2, 9u);
    t.expect_clean();
}

// ---------------------------------------------------------------- round trip

void expect_decodes_to(const Bytes &wire, const srg_opaque &r, uint32_t flags) {
    Tracker t;
    srg_opaque m{};
    ASSERT_EQ(kest_srg_opaque_decode_ext(&m, wire.data(), wire.size(), Tracker::alloc, &t, flags), OK);
    EXPECT_EQ(m.present, r.present & 7);
    EXPECT_EQ(m.f1, r.present & 1 ? r.f1 : 0u);
    EXPECT_EQ(m.f2, r.present & 2 ? r.f2 : 0u);
    EXPECT_EQ(Bytes(m.f3, m.f3 + m.f3_len), Bytes(r.f3, r.f3 + (r.present & 4 ? r.f3_len : 0)));
    kest_srg_opaque_free_ext(&m, Tracker::release, &t, flags);
    t.expect_clean();
}

TEST(OpaqueRoundTrip, RandomRecords) {
    std::mt19937 rng(0x6B657374);
    auto value = [&] { return static_cast<uint32_t>(rng()) >> (rng() % 32); };  // every varint width
    for (int i = 0; i < 400; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const uint64_t len = rng() % 4 ? rng() % kPay.size() : 0;
        const srg_opaque r{value(), value(), kPay.data(), len, static_cast<uint8_t>(rng())};
        Bytes wire;  // the copy-mode encoding, which the zero-copy segments must reproduce
        for (uint32_t flags : {0u, ZC}) {
            uint32_t want = 0;
            const uint64_t size = kest_srg_opaque_encode_ext(&r, nullptr, 0, nullptr, &want, flags);
            Bytes buf(size);
            std::array<kest_segment, 4> segs{};
            uint32_t n = static_cast<uint32_t>(segs.size());
            ASSERT_EQ(kest_srg_opaque_encode_ext(&r, buf.data(), size, segs.data(), &n, flags), size);
            ASSERT_EQ(n, want);
            ASSERT_LE(n, segs.size());
            Bytes joined;
            for (uint32_t k = 0; k < n; ++k) joined.insert(joined.end(), segs[k].base, segs[k].base + segs[k].len);
            if (!flags) wire = buf;
            EXPECT_EQ(joined, wire);
            expect_decodes_to(wire, r, flags);
        }
    }
}

}  // namespace
