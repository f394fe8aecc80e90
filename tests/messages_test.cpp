// Message-specific layouts: payloads in the middle, several payloads, two-byte
// tags, fixed32, bools, 64-bit values, spare presence bits and nested runs.
#include "record_walk.hpp"
#include "support.hpp"

#include <algorithm>

// Records are written with designated initializers: the members left out are zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace kt;
using namespace kt::generic;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;

constexpr int32_t OK = KEST_OK, BAD = KEST_ERR_MALFORMED, FT = KEST_ERR_FIELD_TYPE, NOMEM = KEST_ERR_NO_MEMORY;
const uint8_t kP[] = {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C};

// A segment: into the buffer, into kP, or relative to a null buffer (an
// element that starts past the end of a short buffer is given none).
struct Seg { char in; uint64_t off, len; };
Seg B(uint64_t off, uint64_t len) { return {'b', off, len}; }
Seg Pl(uint64_t off, uint64_t len) { return {'p', off, len}; }
Seg Nul(uint64_t off, uint64_t len) { return {'0', off, len}; }

// cap: segment capacity, -1 passes no count; buf: the buffer afterwards, 5A where
// nothing was written; segs: every segment, so the count must come back as its size.
template <class R>
struct Enc { const char *name; R msg; uint32_t flags; uint64_t buflen; int cap; uint64_t result; const char *buf;
             std::vector<Seg> segs; };

template <class R>
void encodes(const std::vector<Enc<R>> &rows) {
    const kest_segment unset{nullptr, 0xDEAD};
    for (const Enc<R> &c : rows) {
        SCOPED_TRACE(c.name);
        Bytes buf(c.buflen + 4, 0x5A);
        std::vector<kest_segment> segs(32, unset);
        uint32_t n = c.cap < 0 ? 0 : static_cast<uint32_t>(c.cap);
        EXPECT_EQ(api::encode(&c.msg, buf.data(), c.buflen, segs.data(), c.cap < 0 ? nullptr : &n, c.flags), c.result);
        EXPECT_EQ(to_hex(buf), to_hex(hex(c.buf)) + (c.buflen ? " " : "") + "5A 5A 5A 5A");
        EXPECT_EQ(c.cap < 0 ? 0 : n, c.cap < 0 ? 0 : c.segs.size());
        for (size_t k = 0; k < segs.size(); ++k) {
            kest_segment want = unset;
            if (c.cap >= 0 && k < std::min<size_t>(static_cast<size_t>(c.cap), c.segs.size())) {
                const Seg &s = c.segs[k];
                const auto base = reinterpret_cast<uintptr_t>(s.in == 'b' ? buf.data() : s.in == 'p' ? kP : nullptr);
                want = {reinterpret_cast<const uint8_t *>(base + s.off), s.len};
            }
            EXPECT_TRUE(segs[k].base == want.base && segs[k].len == want.len) << "segment " << k;
        }
    }
}

TEST(Encode, Cmd) {
    const srg_cmd_msg mid{.f13 = kP, .f13_len = 2, .f14 = 1, .present = 0x180};
    encodes<srg_cmd_msg>({
        {"numbers around the gap", {.f1 = 1, .f11 = 2, .f15 = 3, .present = 0x221}, 0, 6, 1, 6, "08 01 58 02 78 03",
         {B(0, 6)}},
        {"spare bits ignored", {.f1 = 5, .present = 0xFC01}, 0, 2, 1, 2, "08 05", {B(0, 2)}},
        {"payload copied", mid, 0, 6, 2, 6, "6A 02 41 42 70 01", {B(0, 6)}},
        {"payload not whole", mid, 0, 3, 1, 6, "6A 02 5A", {B(0, 6)}},
        {"payload in the middle", mid, ZC, 4, 3, 4, "6A 02 70 01", {B(0, 2), Pl(0, 2), B(2, 2)}},
        {"room for two segments", mid, ZC, 4, 2, 4, "6A 02 70 01", {B(0, 2), Pl(0, 2), B(2, 2)}},
        {"nothing after the payload", {.f13 = kP, .f13_len = 2, .f14 = 1, .present = 0x80}, ZC, 2, 3, 2, "6A 02",
         {B(0, 2), Pl(0, 2)}},
    });
}

TEST(Encode, Neg) {
    const srg_neg_msg max{.f1 = 0xFFFFFFFF, .present = 0x1};
    encodes<srg_neg_msg>({
        {"two-byte tag", {.f17 = 1, .present = 0x1000}, 0, 3, 1, 3, "88 01 01", {B(0, 3)}},
        {"short buffer", max, 0, 3, 1, 6, "08 FF FF", {B(0, 6)}},
        {"no capacity", max, 0, 6, 0, 6, "08 FF FF FF FF 0F", {B(0, 6)}},
        {"bools", {.f6 = true, .f9 = false, .present = 0x120}, 0, 4, 1, 4, "30 01 48 00", {B(0, 4)}},
        {"spare bits only", {.f1 = 7, .present = 0xE000}, 0, 2, 1, 0, "5A 5A", {}},
    });
}

TEST(Encode, IaId) {
    const ia_id_msg mid{.f9 = kP, .f9_len = 3, .f10 = 1, .present = 0x300};
    encodes<ia_id_msg>({
        {"payload copied", mid, 0, 7, 1, 7, "4A 03 41 42 43 50 01", {B(0, 7)}},
        {"payload in the middle", mid, ZC, 4, 3, 4, "4A 03 50 01", {B(0, 2), Pl(0, 3), B(2, 2)}},
        {"last field", {.f15 = 300, .present = 0x4000}, 0, 3, 1, 3, "78 AC 02", {B(0, 3)}},
        {"spare bit ignored", {.present = 0x8001}, 0, 2, 1, 2, "08 00", {B(0, 2)}},
        {"empty payload", {.f9 = kP, .present = 0x100}, ZC, 2, 3, 2, "4A 00", {B(0, 2)}},
    });
}

TEST(Encode, Dhcpv4) {
    const srg_opq_dhcpv4_msg ends{.f1 = kP, .f1_len = 3, .f38 = 5, .present = 0x2000000001};
    std::vector<Enc<srg_opq_dhcpv4_msg>> rows = {
        {"two-byte tag", {.f32 = 1, .present = uint64_t{1} << 31}, 0, 3, 1, 3, "80 02 01", {B(0, 3)}},
        {"uint64 at its largest", {.f22 = ~uint64_t{0}, .present = 1 << 21}, 0, 12, 1, 12,
         "B0 01 FF FF FF FF FF FF FF FF FF 01", {B(0, 12)}},
        {"fixed32", {.f4 = 1, .present = 0x8}, 0, 5, 1, 5, "25 01 00 00 00", {B(0, 5)}},
        {"fixed32 zero", {.f4 = 0, .present = 0x8}, 0, 5, 1, 5, "25 00 00 00 00", {B(0, 5)}},
        {"fixed32 two-byte tag", {.f17 = 0x04030201, .present = 1 << 16}, 0, 6, 1, 6, "8D 01 01 02 03 04", {B(0, 6)}},
        {"fixed32 cut short", {.f17 = 0x04030201, .present = 1 << 16}, 0, 4, 1, 6, "8D 01 01 02", {B(0, 6)}},
        {"first and last", ends, 0, 11, 1, 11, "0A 03 41 42 43 B5 02 05 00 00 00", {B(0, 11)}},
        {"first and last, zero-copy", ends, ZC, 8, 4, 8, "0A 03 B5 02 05 00 00 00", {B(0, 2), Pl(0, 3), B(2, 6)}},
        {"first and last, room for two", ends, ZC, 8, 2, 8, "0A 03 B5 02 05 00 00 00", {B(0, 2), Pl(0, 3), B(2, 6)}},
        {"payload last", {.f34 = kP, .f34_len = 2, .present = uint64_t{1} << 33}, ZC, 3, 4, 3, "92 02 02",
         {B(0, 3), Pl(0, 2)}},
        {"spare bits ignored", {.f1 = kP, .present = 0xFFFFFFC000000001}, ZC, 2, 4, 2, "0A 00", {B(0, 2)}},
        {"spare bits ignored, copy", {.f1 = kP, .present = 0xFFFFFFC000000001}, 0, 2, 4, 2, "0A 00", {B(0, 2)}},
    };
    // Twelve one-byte payloads, each after its own tag and length: 2 tags of one
    // byte, then 10 of two, then field 38 in a run of its own.
    srg_opq_dhcpv4_msg all{.f1 = kP, .f1_len = 1, .f10 = kP + 1, .f10_len = 1, .f18 = kP + 2, .f18_len = 1,
                           .f23 = kP + 3, .f23_len = 1, .f24 = kP + 4, .f24_len = 1, .f25 = kP + 5, .f25_len = 1,
                           .f26 = kP + 6, .f26_len = 1, .f27 = kP + 7, .f27_len = 1, .f29 = kP + 8, .f29_len = 1,
                           .f30 = kP + 9, .f30_len = 1, .f33 = kP + 10, .f33_len = 1, .f34 = kP + 11, .f34_len = 1,
                           .f38 = 0x01020304, .present = 0x2337C20201};
    const std::string full = "0A 01 52 01 92 01 01 BA 01 01 C2 01 01 CA 01 01 D2 01 01 DA 01 01 EA 01 01 F2 01 01 "
                             "8A 02 01 92 02 01 B5 02 04 03 02 01",
                      cut = full.substr(0, 34 * 3 - 1);
    for (bool last : {true, false}) {
        std::vector<Seg> segs;
        uint64_t off = 0;
        for (int i = 0; i < 12; ++i) {
            const uint64_t run = i < 2 ? 2 : 3;
            segs.insert(segs.end(), {B(off, run), Pl(i, 1)});
            off += run;
        }
        if (last) segs.push_back(B(off, 6));
        for (int cap : {0, 1, 24, 25})
            rows.push_back(
                {"twelve payloads", all, ZC, off + 6 * last, cap, off + 6 * last, (last ? full : cut).c_str(), segs});
        all.present &= ~(uint64_t{1} << 37);
    }
    encodes(rows);
}

TEST(Encode, Sync) {
    static const srg_opaque one[] = {{.f1 = 1, .present = 0x1}};
    static const srg_opaque two[] = {{.f1 = 2, .f3 = kP, .f3_len = 2, .present = 0x5}, {.f2 = 3, .present = 0x2}};
    const srg_sync_msg nest{.f1 = 1, .f15 = const_cast<srg_opaque *>(two), .n_f15 = 2, .f16 = 9, .present = 0x3001};
    const std::vector<Seg> nest_zc = {B(0, 4), B(4, 4), Pl(0, 2), B(8, 2), B(10, 2), B(12, 3)};
    encodes<srg_sync_msg>({
        {"fixed32", {.f11 = 258, .present = 0x400}, 0, 5, 1, 5, "5D 02 01 00 00", {B(0, 5)}},
        {"bool", {.f18 = true, .present = 0x8000}, 0, 3, 1, 3, "90 01 01", {B(0, 3)}},
        {"two-byte tags", {.f16 = 300, .f17 = 1, .present = 0x6000}, 0, 7, 1, 7, "80 01 AC 02 88 01 01", {B(0, 7)}},
        {"two payloads", {.f6 = kP, .f6_len = 1, .f12 = kP + 1, .f12_len = 1, .present = 0x820}, ZC, 4, 8, 4,
         "32 01 62 01", {B(0, 2), Pl(0, 1), B(2, 2), Pl(1, 1)}},
        {"two payloads and a run", {.f6 = kP, .f6_len = 1, .f12 = kP + 1, .f12_len = 1, .f16 = 7, .present = 0x2820},
         ZC, 7, 8, 7, "32 01 62 01 80 01 07", {B(0, 2), Pl(0, 1), B(2, 2), Pl(1, 1), B(4, 3)}},
        {"run without elements", {.f15 = const_cast<srg_opaque *>(one), .present = 0x1000}, 0, 0, 4, 0, "", {}},
        {"one element", {.f1 = 1, .f15 = const_cast<srg_opaque *>(one), .n_f15 = 1, .present = 0x1001}, 0, 6, 4, 6,
         "08 01 7A 02 08 01", {B(0, 4), B(4, 2)}},
        {"nested, copy", nest, 0, 17, 8, 17, "08 01 7A 06 08 02 1A 02 41 42 7A 02 10 03 80 01 09",
         {B(0, 4), B(4, 6), B(10, 2), B(12, 2), B(14, 3)}},
        {"nested, zero-copy", nest, ZC, 15, 8, 15, "08 01 7A 06 08 02 1A 02 7A 02 10 03 80 01 09", nest_zc},
        {"nested, room for three", nest, ZC, 15, 3, 15, "08 01 7A 06 08 02 1A 02 7A 02 10 03 80 01 09", nest_zc},
        {"nested, no count", nest, ZC, 15, -1, 15, "08 01 7A 06 08 02 1A 02 7A 02 10 03 80 01 09", {}},
        {"nested, short buffer", nest, 0, 9, 8, 17, "08 01 7A 06 08 02 1A 02 5A",
         {B(0, 4), B(4, 6), B(10, 2), Nul(0, 2), B(14, 3)}},
    });
}

TEST(Encode, Dhcpv6) {
    static const ia_id_msg empty[] = {{}}, one[] = {{.f1 = 1, .present = 0x1}},
                           pay[] = {{.f9 = kP, .f9_len = 1, .present = 0x100}},
                           two[] = {{.f9 = kP + 1, .f9_len = 2, .f10 = 1, .present = 0x300},
                                    {.f1 = 5, .present = 0x1}};
    auto run14 = [](const ia_id_msg *e, uint32_t n) {
        return srg_opq_dhcpv6_msg{.f14 = const_cast<ia_id_msg *>(e), .n_f14 = n, .present = 0x2000};
    };
    const srg_opq_dhcpv6_msg nest{.f6 = kP, .f6_len = 1, .f14 = const_cast<ia_id_msg *>(two), .n_f14 = 2,
                                  .f27 = kP + 3, .f27_len = 1, .present = 0x4002020};
    const std::vector<Seg> nest_zc = {B(0, 2), Pl(0, 1), B(2, 2), B(4, 2), Pl(1, 2), B(6, 2), B(8, 2), B(10, 2),
                                      B(12, 3), Pl(3, 1)};
    encodes<srg_opq_dhcpv6_msg>({
        {"uint64 top bit", {.f5 = uint64_t{1} << 63, .present = 0x10}, 0, 11, 1, 11,
         "28 80 80 80 80 80 80 80 80 80 01", {B(0, 11)}},
        {"uint64 at its largest", {.f5 = ~uint64_t{0}, .present = 0x10}, 0, 11, 1, 11,
         "28 FF FF FF FF FF FF FF FF FF 01", {B(0, 11)}},
        {"uint32 at its largest", {.f13 = 0xFFFFFFFF, .present = 0x1000}, 0, 6, 1, 6, "68 FF FF FF FF 0F", {B(0, 6)}},
        {"empty, two-byte tag", {.f16 = kP, .present = 0x8000}, 0, 3, 1, 3, "82 01 00", {B(0, 3)}},
        {"last field", {.f27 = kP, .f27_len = 3, .present = 0x4000000}, 0, 6, 1, 6, "DA 01 03 41 42 43", {B(0, 6)}},
        {"last field, zero-copy", {.f27 = kP, .f27_len = 3, .present = 0x4000000}, ZC, 3, 2, 3, "DA 01 03",
         {B(0, 3), Pl(0, 3)}},
        {"spare bits ignored", {.f1 = 1, .present = 0xF8000001}, 0, 2, 1, 2, "08 01", {B(0, 2)}},
        {"run without elements", run14(one, 0), 0, 0, 1, 0, "", {}},
        {"empty element", run14(empty, 1), 0, 2, 2, 2, "72 00", {B(0, 2)}},
        {"one element", run14(one, 1), 0, 4, 4, 4, "72 02 08 01", {B(0, 2), B(2, 2)}},
        {"element payload", run14(pay, 1), 0, 5, 4, 5, "72 03 4A 01 41", {B(0, 2), B(2, 3)}},
        {"element payload, zero-copy", run14(pay, 1), ZC, 4, 4, 4, "72 03 4A 01", {B(0, 2), B(2, 2), Pl(0, 1)}},
        {"nested, copy", nest, 0, 19, 8, 19, "32 01 41 72 06 4A 02 42 43 50 01 72 02 08 05 DA 01 01 44",
         {B(0, 5), B(5, 6), B(11, 2), B(13, 2), B(15, 4)}},
        {"nested, zero-copy", nest, ZC, 15, 12, 15, "32 01 72 06 4A 02 50 01 72 02 08 05 DA 01 01", nest_zc},
        {"nested, room for four", nest, ZC, 15, 4, 15, "32 01 72 06 4A 02 50 01 72 02 08 05 DA 01 01", nest_zc},
    });
}

// want.present holds the spare bits expected back; pre is the target's present beforehand.
template <class R>
struct Dec { const char *in; uint32_t flags; bool alloc; int32_t rc; R want; decltype(R::present) pre{}; };

template <class R>
void decodes(const std::vector<Dec<R>> &rows) {
    for (const Dec<R> &c : rows) {
        SCOPED_TRACE(c.in);
        const Bytes in = hex(c.in);
        Tracker t;
        R got{};
        got.present = c.pre;
        EXPECT_EQ(api::decode(&got, in.data(), in.size(), c.alloc ? Tracker::alloc : nullptr, &t, c.flags), c.rc);
        EXPECT_EQ(got.present, c.want.present);
        EXPECT_TRUE(same_on_wire(c.want, got));
        api::release(&got, Tracker::release, &t, c.flags);
        t.expect_clean();
    }
}

TEST(Decode, Cmd) {
    decodes<srg_cmd_msg>({
        {"30 05", 0, true, OK, {}},
        {"6A 01 41 6A 00", 0, true, BAD, {.f13 = kP, .f13_len = 1, .present = 0x80}},
        {"70 01 70 02", 0, true, OK, {.f14 = 2, .present = 0x100}},
        {"78 03 6A 01 41", 0, false, NOMEM, {.f15 = 3, .present = 0x200}},
        {"78 03 6A 01 41", ZC, false, OK, {.f13 = kP, .f13_len = 1, .f15 = 3, .present = 0x280}},
        {"08 01", 0, true, OK, {.f1 = 1, .present = 0xFC01}, 0xFC02},
    });
}

TEST(Decode, Sync) {
    decodes<srg_sync_msg>({
        {"5D 02 01 00 00", 0, true, OK, {.f11 = 258, .present = 0x400}},
        {"5D 01 02 03", 0, true, BAD, {}},
        {"58 01", 0, true, FT, {}},
        {"68 05 70 01", 0, true, OK, {}},
        {"90 01 02", 0, true, OK, {.f18 = true, .present = 0x8000}},
        {"90 01 80 01", 0, true, OK, {.f18 = true, .present = 0x8000}},
        {"90 01 80 80 80 80 10", 0, true, OK, {.f18 = false, .present = 0x8000}},
        {"88 01 AC 02 32 01 41 62 00", 0, true, OK, {.f6 = kP, .f6_len = 1, .f12 = kP, .f17 = 300, .present = 0x4820}},
        {"62 01 41 62 00", ZC, false, BAD, {.f12 = kP, .f12_len = 1, .present = 0x800}},
    });
}

TEST(Decode, Neg) {
    decodes<srg_neg_msg>({
        {"30 02", 0, false, OK, {.f6 = true, .present = 0x20}},
        {"30 80 80 80 80 10", 0, false, OK, {.f6 = false, .present = 0x20}},
        {"58 05 60 01", 0, false, OK, {}},
        {"0A 00", 0, false, FT, {}},
        {"08 01 08 02", 0, false, OK, {.f1 = 2, .present = 0x1}},
        {"88 01 05 80 01", 0, false, BAD, {.f17 = 5, .present = 0xF000}, 0xE000},
    });
}

TEST(Decode, IaId) {
    decodes<ia_id_msg>({
        {"4A 01 41 4A 01 42", 0, true, BAD, {.f9 = kP, .f9_len = 1, .present = 0x100}},
        {"4A 05 41", 0, true, BAD, {}},
        {"48 01", 0, true, FT, {}},
        {"80 01 05", 0, true, OK, {}},
        {"78 AC 02 4A 01 41", 0, false, NOMEM, {.f15 = 300, .present = 0xC000}, 0x8000},
    });
}

TEST(Decode, Dhcpv4) {
    decodes<srg_opq_dhcpv4_msg>({
        {"B0 01 FF FF FF FF FF FF FF FF FF 01", 0, true, OK, {.f22 = ~uint64_t{0}, .present = 1 << 21}},
        {"10 05 10 07", 0, true, OK, {.f2 = 7, .present = 0x2}},
        {"52 01 41 52 01 42", 0, true, BAD, {.f10 = kP, .f10_len = 1, .present = 0x200}},
        {"20 01", 0, true, FT, {}},
        {"25 01 02 03", 0, true, BAD, {}},
        {"B5 02 05 00 00 00 8D 01 01 02 03 04", 0, true, OK, {.f17 = 0x04030201, .f38 = 5, .present = 0x2000010000}},
        {"B5 02 05 00 00", 0, true, BAD, {}},
        {"B8 02 05", 0, true, OK, {}},
        {"10 01 25 01 00 00 00 0A 00", 0, false, NOMEM, {.f2 = 1, .f4 = 1, .present = 0xA}},
        {"10 01", 0, true, OK, {.f2 = 1, .present = 0xFFFFFFC000000002}, 0xFFFFFFC000000001},
    });
}

TEST(Decode, Dhcpv6) {
    decodes<srg_opq_dhcpv6_msg>({
        {"28 FF FF FF FF FF FF FF FF FF 01", 0, true, OK, {.f5 = ~uint64_t{0}, .present = 0x10}},
        {"28 80 80 80 80 80 80 80 80 80 7F", 0, true, OK, {.f5 = uint64_t{1} << 63, .present = 0x10}},
        {"E0 01 05", 0, true, OK, {}},
        {"68 05", 0, true, OK, {.f13 = 5, .present = 0xF8001000}, 0xF8000000},
        {"32 01 41 DA 01 01 41 32 00", 0, true, BAD,
         {.f6 = kP, .f6_len = 1, .f27 = kP, .f27_len = 1, .present = 0x4000020}},
    });
}

// Spare presence bits belong to the target: duplicate keeps the destination's
// and never takes the source's.
template <class R>
void spare_bits_kept(decltype(R::present) spare) {
    using P = decltype(R::present);
    R src{}, dst{};
    for (P from : {P(~spare), P(~P{0})}) {
        src.present = from;
        for (P to : {P{0}, spare}) {
            dst.present = to;
            EXPECT_EQ(api::duplicate(&dst, &src, nullptr, nullptr), KEST_OK);
            EXPECT_EQ(dst.present, P(~spare | to));
        }
    }
}

TEST(Duplicate, SpareBitsKept) {
    spare_bits_kept<srg_cmd_msg>(0xFC00);
    spare_bits_kept<srg_neg_msg>(0xE000);
    spare_bits_kept<ia_id_msg>(0x8000);
    spare_bits_kept<srg_opq_dhcpv4_msg>(0xFFFFFFC000000000);
    spare_bits_kept<srg_opq_dhcpv6_msg>(0xF8000000);
}

// The run cases of both carriers from one table: TT is the run's tag, VV the
// same field as a varint, PP the element's byte-string tag.
template <class R>
struct Carrier;
template <>
struct Carrier<srg_sync_msg> {
    using E = srg_opaque;
    static constexpr const char *tag = "7A", *varint = "78", *pay = "1A";
    static constexpr uint16_t bit = 0x1000, spare = 0xF8;
    static E *arr(const srg_sync_msg &m) { return m.f15; }
    static uint32_t count(const srg_sync_msg &m) { return m.n_f15; }
};
template <>
struct Carrier<srg_opq_dhcpv6_msg> {
    using E = ia_id_msg;
    static constexpr const char *tag = "72", *varint = "70", *pay = "4A";
    static constexpr uint32_t bit = 0x2000, spare = 0x8000;
    static E *arr(const srg_opq_dhcpv6_msg &m) { return m.f14; }
    static uint32_t count(const srg_opq_dhcpv6_msg &m) { return m.n_f14; }
};

// allocs: -1 when either way of refusing is right, and nothing else is checked then;
// count: elements attached; f1: the carrier's own field 1, -1 when absent; elems:
// encodings of the complete elements, each after a '|', of the later ones all but the
// first (the failing one) are all zero.
struct RunCase { const char *in; uint32_t flags; bool alloc; int32_t rc; int allocs; uint32_t count; bool bit;
                 int64_t f1; const char *elems; };

const RunCase kRuns[] = {
    {"TT 00 TT 02 08 01 TT 03 PP 01 41", 0, true, OK, 2, 3, true, -1, "||08 01|PP 01 41"},
    {"TT 00 TT 02 08 01 TT 03 PP 01 41", ZC, true, OK, 1, 3, true, -1, "||08 01|PP 01 41"},
    {"TT 00 08 09", 0, true, OK, 1, 1, true, 9, "|"},
    {"TT 02 08 01 08 07 TT 00", 0, true, BAD, 1, 1, true, 7, "|08 01"},
    {"VV 00", 0, true, FT, 0, 0, false, -1, ""},
    {"TT 00 VV 00", 0, true, FT, -1, 0, false, -1, ""},
    {"TT 05 08", 0, true, BAD, 0, 0, false, -1, ""},
    {"TT 00 TT 05 08", ZC, true, BAD, 0, 0, false, -1, ""},
    {"TT 00 TT", 0, true, BAD, 0, 0, false, -1, ""},
    {"TT 02 0A 00", 0, true, FT, 1, 1, false, -1, ""},
    {"TT 03 PP 05 41", ZC, true, BAD, 1, 1, false, -1, ""},
    {"TT 03 PP 01 41 TT 02 0A 00 TT 02 08 05", 0, true, FT, 2, 3, false, -1, "|PP 01 41"},
    {"TT 03 PP 01 41 TT 02 0A 00 TT 02 08 05", ZC, true, FT, 1, 3, false, -1, "|PP 01 41"},
    {"TT 00", ZC, false, NOMEM, 0, 0, false, -1, ""},
    {"TT 00", 0, false, NOMEM, 0, 0, false, -1, ""},
};

template <class R>
void runs() {
    using C = Carrier<R>;
    using E = typename C::E;
    for (const RunCase &c : kRuns) {
        std::string s = c.in, elems = c.elems, got;
        for (std::string *x : {&s, &elems})
            for (auto [from, to] : {std::pair{"TT", C::tag}, std::pair{"VV", C::varint}, std::pair{"PP", C::pay}})
                for (size_t at; (at = x->find(from)) != std::string::npos;) x->replace(at, 2, to);
        SCOPED_TRACE(s + (c.flags ? " zero-copy" : ""));
        const Bytes in = hex(s);
        Tracker t;
        R m{};
        EXPECT_EQ(api::decode(&m, in.data(), in.size(), c.alloc ? Tracker::alloc : nullptr, &t, c.flags), c.rc);
        if (c.allocs >= 0) {
            EXPECT_EQ(t.allocs(), c.allocs);
            ASSERT_EQ(C::count(m), c.count);
            EXPECT_EQ((m.present & C::bit) != 0, c.bit);
            EXPECT_EQ(m.present & 1 ? int64_t{m.f1} : -1, c.f1);
            EXPECT_EQ(c.count ? t.sizes.at(0) : 0, c.count * sizeof(E));
            const size_t done = std::count(elems.begin(), elems.end(), '|');
            for (size_t i = 0; i < c.count; ++i) {
                const E &e = C::arr(m)[i];
                const auto *b = reinterpret_cast<const uint8_t *>(&e);
                EXPECT_EQ(e.present & C::spare, 0) << "element " << i;  // the array was zeroed
                Bytes enc(128);
                enc.resize(api::encode(&e, enc.data(), enc.size(), nullptr, nullptr, 0));
                if (i < done) got.append("|").append(to_hex(enc));
                EXPECT_TRUE(i <= done || std::all_of(b, b + sizeof(E), [](uint8_t x) { return x == 0; })) << i;
            }
            EXPECT_EQ(got, elems);
        }
        api::release(&m, Tracker::release, &t, c.flags);
        t.expect_clean();
    }
}

TEST(Decode, SyncRuns) { runs<srg_sync_msg>(); }
TEST(Decode, Dhcpv6Runs) { runs<srg_opq_dhcpv6_msg>(); }

// Fields in record order, each element's payload before the array itself, whatever
// the order on the wire; with the flag only the array. Lengths and bits stay.
template <class R, class Order>
void free_order(const char *input, Order order) {
    const Bytes in = hex(input);
    for (uint32_t flags : {0u, ZC}) {
        Tracker t;
        R m{};
        ASSERT_EQ(api::decode(&m, in.data(), in.size(), Tracker::alloc, &t, flags), OK);
        const R before = m;
        const std::vector<void *> want = flags ? std::vector<void *>{Carrier<R>::arr(m)} : order(m);
        api::release(&m, Tracker::release, &t, flags);
        EXPECT_EQ(t.released, want);
        EXPECT_EQ(m.f6, flags ? before.f6 : nullptr);
        EXPECT_EQ(Carrier<R>::arr(m), nullptr);
        EXPECT_EQ(Carrier<R>::count(m), 0u);
        EXPECT_EQ(m.f6_len, 1u);
        EXPECT_EQ(m.present, before.present);
        api::release(&m, Tracker::release, &t, flags);
        EXPECT_EQ(t.released.size(), want.size());
        t.expect_clean();
    }
}

void *v(const void *p) { return const_cast<void *>(p); }

TEST(Free, RecordOrder) {
    free_order<srg_sync_msg>("7A 03 1A 01 43 7A 03 1A 01 44 62 01 42 32 01 41", [](const auto &m) {
        return std::vector<void *>{v(m.f6), v(m.f12), v(m.f15[0].f3), v(m.f15[1].f3), m.f15};
    });
    free_order<srg_opq_dhcpv6_msg>("DA 01 01 43 72 03 4A 01 44 72 00 62 01 42 32 01 41", [](const auto &m) {
        return std::vector<void *>{v(m.f6), v(m.f12), v(m.f14[0].f9), m.f14, v(m.f27)};
    });
}

}  // namespace
