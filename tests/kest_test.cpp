// The kit's verdicts over every message, the wire rules as tables, and what kest.hpp adds.
#include "kit.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace kt;

constexpr int32_t OK = KEST_OK, BAD = KEST_ERR_MALFORMED, WT = KEST_ERR_WIRE_TYPE, FT = KEST_ERR_FIELD_TYPE,
                  NOMEM = KEST_ERR_NO_MEMORY;
template <class R>
struct Every : ::testing::Test {};
TYPED_TEST_SUITE(Every, kest::messages_as<::testing::Types>);

// What the fuzz targets run, on random bytes and, every other input, a record seeded with i.
TYPED_TEST(Every, VerdictHoldsOnRandomInput) {
    std::mt19937_64 rng(1);
    for (int i = 0; i < 600 && !this->HasFailure(); ++i) {
        Bytes data(1 + rng() % 600);
        for (auto &b : data) b = static_cast<uint8_t>(rng());
        Seeded src{std::mt19937_64(i)};
        EXPECT_EQ(check_all<TypeParam>(data, i % 2 ? &src : nullptr), "") << hex(data) << " seed " << i % 2 * i;
    }
}

// Every prefix of a full encoding, and it with each top bit flipped: cut or run-on constructs.
TYPED_TEST(Every, VerdictHoldsOnCutAndFlippedEncodings) {
    Seeded src{std::mt19937_64(2)};
    std::deque<Bytes> store;
    TypeParam m;
    do (m = build<TypeParam>(src, store)).present = static_cast<kc::presence_t<TypeParam>>(~0ull);
    while (kest::encoded_size(m) > 4096);  // each prefix is decoded: no 16 KB payloads
    const Bytes wire = kest::encode(m);
    for (size_t i = 0; i <= 2 * wire.size(); ++i) {
        Bytes in(wire.begin(), wire.begin() + long(std::min(i, wire.size())));
        if (i > wire.size()) in[i - wire.size() - 1] ^= 0x80;
        int32_t rc;
        EXPECT_EQ(check_decode<TypeParam>(in, rc), "") << hex(in);
    }
}

// Byte strings longer than any buffer: the size exact, nothing copied past it, no wrap.
TYPED_TEST(Every, HugeLengthsAreCountedNotCopied) {
    Seeded src{std::mt19937_64(3)};
    std::deque<Bytes> store;
    TypeParam m = build<TypeParam>(src, store);
    m.present = static_cast<kc::presence_t<TypeParam>>(~0ull);
    bool stretched = false;
    auto stretch = [&](auto &self, auto &r, uint64_t len) -> void {
        kc::for_each_field<std::remove_cvref_t<decltype(r)>>([&]<class F, size_t>() {
            if constexpr (kind_of<F> == kc::kind::bytes) stretched = (r.*F::length = len);
            if constexpr (kind_of<F> == kc::kind::message)
                for (uint32_t i = 0; i < r.*F::count; ++i) self(self, (r.*F::member)[i], uint64_t{1} << 30);
        });
    };
    stretch(stretch, m, uint64_t{1} << 58);
    Bytes buf(64);
    for (uint32_t flags : {0u, ZC}) {
        const uint64_t size = api<TypeParam>::encode(m, nullptr, 0, nullptr, nullptr, flags);
        EXPECT_EQ(api<TypeParam>::encode(m, buf.data(), buf.size(), nullptr, nullptr, flags), size);
        EXPECT_GE(size, stretched && !flags ? uint64_t{1} << 58 : 0);
    }
}

enum Al { N, T };  // no allocator, a working one (refusals: the kit's check_refusals)

const auto squeeze = [](std::string s) { std::erase(s, ' '); for (char &c : s) c = char(std::tolower(c)); return s; };

// after: the record as it is left, encoded again; asked: the sizes allocated.
struct Dec { const char *in; uint32_t flags; Al alloc; int32_t rc; const char *after; std::vector<uint64_t> asked = {}; };

template <class M>
void decodes(std::initializer_list<Dec> rows) {
    for (const Dec &c : rows) {
        SCOPED_TRACE(std::string(kest::name_of<M>) + " '" + c.in + "' flags " + std::to_string(c.flags));
        // trailing 01 bytes would complete any cut construct: a read past the end shows
        Bytes in = hex(c.in);
        const size_t n = in.size();
        in.resize(n + 12, 0x01);
        Alloc a;
        M m = stale<M>();
        EXPECT_EQ(api<M>::decode(m, in.data(), n, c.alloc == N ? nullptr : Alloc::take, &a, c.flags), c.rc);
        EXPECT_EQ(hex(kest::encode(m)), squeeze(c.after));
        EXPECT_TRUE(same_presence(m, stale<M>(), true));
        EXPECT_EQ(a.asked, c.asked);
        const Input input(in.data(), n);
        EXPECT_EQ(owns_what_is_live(m, a, c.flags & ZC ? &input : nullptr) + releases_all(m, a, c.flags), "");
    }
}

TEST(Decode, Opaque) {
    decodes<srg_opaque>({
        {"", 0, T, OK, ""}, {"08 05 10 07 1A 02 AA BB", ZC, N, OK, "08 05 10 07 1A 02 AA BB"},
        {"1A 02 AA BB", 0xFFFFFFFE, T, OK, "1A 02 AA BB", {2}},
        // varints: overlong, over-wide, cut to 32 bits; the last scalar wins
        {"88 80 80 80 80 00 05", 0, N, OK, "08 05"}, {"88 80 80 80 10 05", 0, N, OK, "08 05"},
        {"08 FF FF FF FF FF FF FF FF FF 01", 0, N, OK, "08 FF FF FF FF 0F"},
        {"08 FF FF FF FF 1F", 0, N, OK, "08 FF FF FF FF 0F"}, {"08 80 80 80 80 10", 0, N, OK, "08 00"},
        {"10 85 80 80 80 80 80 80 80 80 80 80 80 00", 0, N, OK, "10 05"},
        {"08 AC 02 10 01 08 03", 0, N, OK, "08 03 10 01"}, {"08 FF FF FF FF 8F 00 10 07 10 08 10 09", 0, N, OK, "08 FF FF FF FF 0F 10 09"},
        {"88 80 80 80 80 00 05 10 07 10 08 10 09", 0, N, OK, "08 05 10 09"},
        // the input ending inside a tag, a value, a length or a payload
        {"88", 0, N, BAD, ""}, {"08", 0, N, BAD, ""}, {"08 80", 0, N, BAD, ""}, {"1A", 0, T, BAD, ""},
        {"1A 83", 0, T, BAD, ""}, {"1A 03 AA BB", 0, T, BAD, ""}, {"1A FF FF FF FF 0F AA", ZC, N, BAD, ""},
        {"10 02 08 FF FF FF FF FF FF FF FF FF FF", 0, N, BAD, "10 02"}, {"08 01 1A 03 AA BB", ZC, N, BAD, "08 01"},
        {"08 80 80 80", 0, N, BAD, ""}, {"08 80 80 80 80", 0, N, BAD, ""}, {"08 80 80 80 80 80 7F", 0, N, OK, "08 00"},
        {"08 FF FF FF FF 8F 7F", 0, N, OK, "08 FF FF FF FF 0F"},
        // unknown fields: wire types 0, 1, 2, 5 skipped up to exactly the end; 3, 4, 6, 7 refused
        {"20 FF FF FF FF FF FF FF FF FF FF FF 01", 0, N, OK, ""}, {"20 80", 0, N, BAD, ""},
        {"21 01 02 03 04 05 06 07 08", 0, N, OK, ""}, {"21 01 02 03 04 05 06 07", 0, N, BAD, ""},
        {"21 01 02 03", 0, N, BAD, ""}, {"22 02 AA BB", 0, N, OK, ""}, {"22 03 AA BB", 0, N, BAD, ""},
        {"22 80", 0, N, BAD, ""}, {"25 01 02 03 04", 0, N, OK, ""}, {"25 01 02 03", 0, N, BAD, ""},
        {"F8 FF FF FF 0F 01", 0, N, OK, ""}, {"24", 0, N, WT, ""}, {"26", 0, N, WT, ""}, {"27", 0, N, WT, ""},
        {"03", 0, N, WT, ""}, {"08 01 23", 0, N, WT, "08 01"}, {"00 05 02 01 AA 10 04", 0, N, OK, "10 04"},
        // known fields with a foreign wire type
        {"0A 00", 0, N, FT, ""}, {"0B", 0, N, FT, ""}, {"0D 00 00 00 00", 0, N, FT, ""},
        {"11 00 00 00 00 00 00 00 00", 0, N, FT, ""}, {"18 01", 0, T, FT, ""}, {"1B", 0, N, FT, ""},
        {"1D 00 00 00 00", ZC, N, FT, ""},
        // a second byte string is refused; the first stays attached for free_ext
        {"1A 01 AA 1A 01 BB", 0, T, BAD, "1A 01 AA", {1}}, {"1A 01 AA 1A 01 BB", ZC, N, BAD, "1A 01 AA"},
        {"1A 00 1A 00", ZC, N, BAD, "1A 00"}, {"1A 00 1A 00", 0, T, BAD, "1A 00", {0}},
        // copy mode without allocator fails on reaching a byte string, before its length
        {"08 01 10 02", 0, N, OK, "08 01 10 02"}, {"08 01 1A 00", 0, N, NOMEM, "08 01"}, {"1A 05", 0, N, NOMEM, ""},
    });
}

// Two-byte tags, booleans, fixed32 and 64-bit values, in the records that have them.
TEST(Decode, Kinds) {
    decodes<srg_sync_msg>({
        {"5D 02 01 00 00", 0, T, OK, "5D 02 01 00 00"}, {"5D 01 02 03", 0, T, BAD, ""}, {"58 01", 0, T, FT, ""},
        {"90 01 02", 0, T, OK, "90 01 01"}, {"90 01 80 01", 0, T, OK, "90 01 01"},
        {"90 01 80 80 80 80 10", 0, T, OK, "90 01 00"}, {"88 01 AC 02 68 05 90 01 01", 0, T, OK, "88 01 AC 02 90 01 01"},
    });
    decodes<srg_opq_dhcpv4_msg>({
        {"B0 01 FF FF FF FF FF FF FF FF FF 01", 0, T, OK, "B0 01 FF FF FF FF FF FF FF FF FF 01"},
        {"B0 01 80 80 80 80 80 80 80 80 80 7F", 0, T, OK, "B0 01 80 80 80 80 80 80 80 80 80 01"},
        {"B0 01 80 80 80 80 80 80 80 80 80 80 7F", 0, T, OK, "B0 01 00"}, {"B0 01 80 80 80 80 80 80 80 80 80", 0, T, BAD, ""},
        {"B5 02 05 00 00 00 8D 01 01 02 03 04", 0, T, OK, "8D 01 01 02 03 04 B5 02 05 00 00 00"},
        {"B5 02 05 00 00", 0, T, BAD, ""}, {"B8 02 05", 0, T, OK, ""}, {"20 01", 0, T, FT, ""},
    });
}

// The run rule for both carriers: TT the run's tag, VV its field as a varint, PP the element's byte string; allocs -1: any.
struct Run { const char *in; uint32_t flags; Al alloc; int32_t rc; long allocs; const char *after; };

const Run kRuns[] = {
    {"TT 00 TT 02 08 01 TT 03 PP 01 41", 0, T, OK, 2, "TT 00 TT 02 08 01 TT 03 PP 01 41"},
    {"TT 00 TT 02 08 01 TT 03 PP 01 41", ZC, T, OK, 1, "TT 00 TT 02 08 01 TT 03 PP 01 41"},
    {"TT 00 08 09", 0, T, OK, 1, "08 09 TT 00"},
    {"TT 02 08 01 08 07 TT 00", 0, T, BAD, 1, "08 07 TT 02 08 01"},
    {"VV 00", 0, T, FT, 0, ""}, {"TT 00 VV 00", 0, T, FT, -1, ""},
    {"TT 05 08", 0, T, BAD, 0, ""}, {"TT 00 TT 05 08", ZC, T, BAD, 0, ""},
    {"TT 00 TT", 0, T, BAD, 0, ""}, {"TT 02 0A 00", 0, T, FT, 1, ""},
    {"TT 03 PP 05 41", ZC, T, BAD, 1, ""},
    {"TT 03 PP 01 41 TT 02 0A 00 TT 02 08 05", 0, T, FT, 2, ""},
    {"TT 03 PP 01 41 TT 02 0A 00 TT 02 08 05", ZC, T, FT, 1, ""},
    {"TT 00", ZC, N, NOMEM, 0, ""}, {"TT 00", 0, N, NOMEM, 0, ""},
};

template <class M, auto Array, auto Count>
void runs(const char *tt, const char *vv, const char *pp) {
    using E = std::remove_pointer_t<kc::value_of<Array>>;
    for (const Run &c : kRuns) {
        std::string in = c.in, after = c.after;
        for (std::string *s : {&in, &after})
            for (auto [from, to] : {std::pair{"TT", tt}, {"VV", vv}, {"PP", pp}})
                for (size_t at; (at = s->find(from)) != std::string::npos;) s->replace(at, 2, to);
        SCOPED_TRACE(in + (c.flags ? " zero-copy" : ""));
        Alloc a;
        const Bytes wire = hex(in);
        M m{};
        EXPECT_EQ(api<M>::decode(m, wire.data(), wire.size(), c.alloc == N ? nullptr : Alloc::take, &a, c.flags), c.rc);
        if (c.allocs >= 0) {
            EXPECT_EQ(long(a.asked.size()), c.allocs);
            EXPECT_EQ(hex(kest::encode(m)), squeeze(after));
            EXPECT_TRUE(!(m.*Count) || a.asked[0] == m.*Count * sizeof(E));
        }
        EXPECT_EQ(releases_all(m, a, c.flags), "");
    }
}

TEST(Decode, Runs) {
    runs<srg_sync_msg, &srg_sync_msg::f15, &srg_sync_msg::n_f15>("7A", "78", "1A");
    runs<srg_opq_dhcpv6_msg, &srg_opq_dhcpv6_msg::f14, &srg_opq_dhcpv6_msg::n_f14>("72", "70", "4A");
}

// A 32-bit target refuses, never truncates, an array or an encoding past 4 GiB.
TEST(Sizes, BeyondTheAddressSpaceAreRefused) {
    if (sizeof(size_t) >= 8) GTEST_SKIP() << "a 64-bit address space";
    Bytes runs(2 * (SIZE_MAX / sizeof(ia_id_msg) + 1));
    for (size_t i = 0; i < runs.size(); i += 2) runs[i] = 0x72;
    Alloc a;
    srg_opq_dhcpv6_msg m;
    EXPECT_EQ(api<srg_opq_dhcpv6_msg>::decode(m, runs.data(), runs.size(), Alloc::take, &a, 0), NOMEM);
    EXPECT_TRUE(a.asked.empty());
    static const uint8_t pay[1] = {};
    EXPECT_THROW(kest::encode(srg_opaque{0, 0, pay, uint64_t{1} << 32, 0x04}), std::length_error);
}

// srg_sync_msg: f6 = AB CD, f12 = EE, f15 = two srg_opaque, each with a payload.
const Bytes kSync = hex("32 02 AB CD 62 01 EE 7A 05 08 01 1A 01 11 7A 04 1A 02 22 33");

TEST(Record, ReleasesWhatItsDecodeOrCopyLeft) {
    Alloc a;
    {
        kest::record<srg_sync_msg> r({Alloc::take, Alloc::give, &a}), copy({Alloc::take, Alloc::give, &a});
        ASSERT_EQ(r.decode(kSync, kest::mode::zero_copy), kest::errc::ok);
        EXPECT_TRUE(r.borrows() && a.live.size() == 1);  // the element array alone
        ASSERT_EQ(r.decode(kSync), kest::errc::ok);
        EXPECT_TRUE(!r.borrows() && a.live.size() == 5 && kest::encode(*r) == kSync);
        ASSERT_EQ(copy.copy_from(*r), kest::errc::ok);
        kest::record<srg_sync_msg> moved(std::move(r));
        copy = std::move(moved);
        EXPECT_TRUE(r->present == 0 && a.live.size() == 5);
        EXPECT_EQ(copy.decode(hex("32 02 AB CD 7A 02 0D 00"), kest::mode::zero_copy), kest::errc::field_type);
        EXPECT_EQ(a.live.size(), 1u);  // a failed decode's array, released with the record
    }
    EXPECT_TRUE(a.clean());  // a borrowed payload handed to release would count as foreign
}

TEST(Record, ArenaHandsOutAlignedBlocksUntilFull) {
    alignas(std::max_align_t) std::array<std::byte, 512> storage{};
    kest::arena arena(storage), tiny{std::span(storage).last(20)};  // tiny: the payloads fit, the array not
    kest::record<srg_sync_msg> r(arena.get()), small(tiny.get());
    ASSERT_EQ(r.decode(kSync), kest::errc::ok);
    EXPECT_TRUE(reinterpret_cast<const std::byte *>(r->f15[1].f3) < storage.data() + arena.used());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r->f15) % alignof(std::max_align_t), 0u);
    EXPECT_EQ(small.decode(kSync), kest::errc::no_memory);
    EXPECT_EQ(small->f6_len, 2u);
}

// 1000 empty elements take exactly the most a decode may take per input byte.
TEST(Record, BudgetRefusesPastItsLimit) {
    Bytes runs;
    for (int i = 0; i < 1000; ++i) runs.insert(runs.end(), {0x72, 0x00});
    EXPECT_EQ(most_per_byte<srg_opq_dhcpv6_msg>() * runs.size(), 1000 * sizeof(ia_id_msg));
    for (const bool fits : {true, false}) {
        const uint64_t limit = 1000 * sizeof(ia_id_msg) - !fits;
        Alloc a;
        kest::budget budget({Alloc::take, Alloc::give, &a}, limit);
        {
            kest::record<srg_opq_dhcpv6_msg> r(budget.get());
            EXPECT_EQ(r.decode(runs), fits ? kest::errc::ok : kest::errc::no_memory);
            EXPECT_TRUE(budget.left() == (fits ? 0 : limit) && a.asked.size() == fits);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(r->f14) % alignof(std::max_align_t), 0u);
            budget.reset();
            EXPECT_EQ(budget.left(), limit);
        }
        EXPECT_TRUE(a.clean() && budget.left() == limit);  // what comes back after reset() credits no more
    }
}

TEST(Encode, VectorCallerStorageAndIovecs) {
    static const uint8_t pay[] = {0xAA, 0xBB, 0xCC};
    const srg_opaque msg{1, 0, pay, 3, 0x05};
    std::array<uint8_t, 16> storage{};
    const auto written = kest::encode(msg, storage);
    EXPECT_TRUE(written && Bytes(written->begin(), written->end()) == hex("08 01 1A 03 AA BB CC"));
    EXPECT_FALSE(kest::encode(msg, std::span(storage).first(6)));

    // the buffer's runs around each payload merge into one vector; more vectors than one writev takes, written whole
    static const uint8_t one = 0x41;
    std::vector<srg_opaque> mixed(3000);
    for (uint32_t i = 0; i < mixed.size(); ++i) mixed[i] = {i, 0, i % 2 ? &one : nullptr, i % 2, 0x05};
    srg_sync_msg m{};
    m.present = 1u << 12;  // f15
    m.f15 = mixed.data();
    m.n_f15 = uint32_t(mixed.size());
    std::vector<uint8_t> buffer;
    std::vector<iovec> parts = kest::encode_iovec(m, buffer);
    EXPECT_EQ(parts.size(), 3000u);
    FILE *file = std::tmpfile();
    ASSERT_TRUE(file && kest::write_all(fileno(file), parts));
    Bytes sent(kest::encoded_size(m) + 1);
    std::rewind(file);
    sent.resize(std::fread(sent.data(), 1, sent.size(), file));
    std::fclose(file);
    EXPECT_EQ(sent, kest::encode(m));
}

// Records written in both modes, read in random pieces into a record whose budget holds one.
TEST(Stream, RecordsSurviveRandomCuts) {
    Seeded src{std::mt19937_64(4)};
    std::deque<Bytes> store;
    std::vector<srg_sync_msg> sent(3000);
    FILE *file = std::tmpfile();
    ASSERT_TRUE(file);
    const int fd = fileno(file);
    kest::delimited_writer w(fd);
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_TRUE(w.write(sent[i] = build<srg_sync_msg>(src, store), kest::mode(i % 2 * ZC)));
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    kest::delimited_reader reader(1 << 17);
    const uint64_t limit = most_per_byte<srg_sync_msg>() << 17;
    kest::budget budget(kest::malloc_allocator(), limit);
    kest::record<srg_sync_msg> got(budget.get());
    std::mt19937_64 rng(6);
    Bytes chunk(5000);
    size_t i = 0;
    for (ssize_t n = 1; n > 0;) {
        if (rng() % 2) n = reader.read_from(fd);
        else if ((n = read(fd, chunk.data(), 1 + rng() % chunk.size())) > 0) reader.feed({chunk.data(), size_t(n)});
        kest::stream_status s;
        while ((s = reader.next(got, kest::mode(i / 2 % 2 * ZC))) == kest::stream_status::record)
            EXPECT_TRUE(i < sent.size() && same(*got, sent[i++])) << i;
        EXPECT_EQ(s, kest::stream_status::need_more);
    }
    std::fclose(file);
    EXPECT_TRUE(i == sent.size() && !reader.buffered());
    got.reset();
    EXPECT_EQ(budget.left(), limit);
}

// Streams that cannot be cut, a bad record skipped, cut short: every call to a stop, and one more.
TEST(Stream, BadStreams) {
    const struct { uint64_t max; const char *in, *calls; size_t left; } cases[] = {
        {10, "0B", "too_long too_long", 1}, {10, "00 0B", "record: too_long too_long", 1},
        {10, "80 80 80 80 80 80 80 80 80 80 00", "bad_length bad_length", 11},
        {~0ull, "80 80 80 80 80 80 80 80 80 02", "bad_length bad_length", 10},
        {10, "07 08 01 0D 00 00 00 00 02 10 05", "KEST_ERR_FIELD_TYPE:0801 record:1005 need_more need_more", 0},
        {10, "05 08 01 10", "need_more need_more", 4}, {10, "8A", "need_more need_more", 1},
        {10, "00 80 00", "record: record: need_more need_more", 0},
        {10, "0A 08 01 10 02 1A 04 AA BB CC DD", "record:080110021a04aabbccdd need_more need_more", 0},
        {~0ull, "80 80 80 80 80 80 01", sizeof(size_t) < 8 ? "too_long too_long" : "need_more need_more", 7},
    };
    const char *names[] = {"record:", "need_more", "too_long", "bad_length", ""};
    for (const auto &c : cases) {
        kest::delimited_reader reader(c.max);
        reader.feed(hex(c.in));
        kest::record<srg_opaque> got;
        std::string calls;
        for (int stops = 0; stops < 2;) {
            const kest::stream_status s = reader.next(got);
            stops += s != kest::stream_status::record && s != kest::stream_status::bad_record;
            calls.append(calls.empty() ? "" : " ").append(names[int(s)]);
            if (s == kest::stream_status::bad_record) calls.append(kest::to_string(reader.error())).append(":");
            if (s == kest::stream_status::record || s == kest::stream_status::bad_record) calls += hex(kest::encode(*got));
            EXPECT_TRUE(s != kest::stream_status::record || reader.error() == kest::errc::ok) << c.in;  // the last one's
        }
        EXPECT_EQ(calls, c.calls) << c.in;
        EXPECT_EQ(reader.buffered(), c.left) << c.in;
        EXPECT_EQ(reader.offset() + reader.buffered(), hex(c.in).size()) << c.in;
    }
    EXPECT_TRUE(!kest::delimited_writer(-1).write(srg_opaque{}) && errno == EBADF);
}

}  // namespace
