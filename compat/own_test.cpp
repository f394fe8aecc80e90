// The plugin's codecs for examples/own_proto and implicit.proto against protobuf's, both ways.
#include "implicit.pb.h"
#include "own_codecs.hpp"
#include "proto_map.hpp"
#include "telemetry.pb.h"

#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

namespace {
using namespace kt;

// Each field set or not by a coin: any width and sign, declared enum values, short runs.
void fill(pb::Message &m, Seeded &src, int depth) {
    using FD = pb::FieldDescriptor;
    const pb::Descriptor *d = m.GetDescriptor();
    for (int i = 0; i < d->field_count(); ++i) {
        const FD *f = d->field(i);
        if (src.bits(1)) continue;
        if (f->cpp_type() == FD::CPPTYPE_MESSAGE) {
            for (uint64_t n = !depth ? 0 : f->is_repeated() ? src.bits(2) : 1; n; --n)
                fill(f->is_repeated() ? *m.GetReflection()->AddMessage(&m, f) : *m.GetReflection()->MutableMessage(&m, f), src, depth - 1);
            continue;
        }
        for (uint64_t n = f->is_repeated() ? 1 + src.bits(2) : 1; n; --n) {
            const uint64_t x = src.bits(1) ? ~(src.bits(64) >> src.bits(6)) : src.bits(64) >> src.bits(6);
            switch (f->cpp_type()) {
            case FD::CPPTYPE_INT32: put_scalar(m, f, int32_t(x)); break;
            case FD::CPPTYPE_INT64: put_scalar(m, f, int64_t(x)); break;
            case FD::CPPTYPE_UINT32: put_scalar(m, f, uint32_t(x)); break;
            case FD::CPPTYPE_UINT64: put_scalar(m, f, x); break;
            case FD::CPPTYPE_FLOAT: put_scalar(m, f, std::bit_cast<float>(uint32_t(x))); break;
            case FD::CPPTYPE_DOUBLE: put_scalar(m, f, std::bit_cast<double>(x)); break;
            case FD::CPPTYPE_BOOL: put_scalar(m, f, bool(x & 1)); break;
            case FD::CPPTYPE_ENUM: put_scalar(m, f, f->enum_type()->value(int(x % f->enum_type()->value_count()))->number()); break;
            default: {
                std::string s(x % 40, '\0');
                for (char &c : s) c = char(f->type() == FD::TYPE_STRING ? 'a' + src.bits(4) : src.bits(8));
                f->is_repeated() ? m.GetReflection()->AddString(&m, f, s) : m.GetReflection()->SetString(&m, f, s);
            }
            }
        }
    }
}

template <class R>
struct Own : ::testing::Test {};
using Messages = KEST_MESSAGE_LIST(OWN_MESSAGES);
TYPED_TEST_SUITE(Own, Messages::as<::testing::Types>);

TYPED_TEST(Own, ProtobufBothWays) {
    using R = TypeParam;
    telemetry::Gauge::descriptor(), implicit::Scalars::descriptor();  // links their files, for pb_of
    const auto sent = pb_of<R>(), mine = pb_of<R>(), one = pb_of<R>();
    ASSERT_TRUE(sent);
    const pb::Descriptor *d = sent->GetDescriptor();
    Seeded src{std::mt19937_64(26)};
    for (int i = 0; i < 100 && !this->HasFailure(); ++i) {
        // protobuf writes; kest reads it in both modes to the same values and writes it back
        sent->Clear();
        fill(*sent, src, 3);
        const std::string bytes = bytes_of(*sent);
        const Bytes wire(bytes.begin(), bytes.end());
        for (kest::mode how : {kest::mode::copy, kest::mode::zero_copy}) {
            kest::record<R> got;
            ASSERT_EQ(got.decode(wire, how), kest::errc::ok) << hex(wire);
            mine->Clear();
            ASSERT_EQ(to_proto(*got, *mine), "");
            EXPECT_TRUE(bytes_of(*mine) == bytes) << hex(wire);
            EXPECT_EQ(hex(kest::encode(*got)), hex(wire));
        }
        // the fields last to first, which the rows read (a map's entry always writes both)
        std::string reversed;
        for (int k = d->options().map_entry() ? -1 : d->field_count() - 1; k >= 0; --k) {
            one->CopyFrom(*sent);
            for (int j = 0; j < d->field_count(); ++j)
                if (j != k) one->GetReflection()->ClearField(one.get(), d->field(j));
            reversed += bytes_of(*one);
        }
        kest::record<R> got;
        mine->Clear();
        ASSERT_EQ(got.decode(Bytes(reversed.begin(), reversed.end())), kest::errc::ok);
        EXPECT_TRUE(to_proto(*got, *mine).empty() && (reversed.empty() || bytes_of(*mine) == bytes)) << hex(wire);
        Bytes tagged{0};  // as wire bytes: decode, free, refusals, duplicate
        tagged.insert(tagged.end(), wire.begin(), wire.end());
        EXPECT_EQ(check_all<R>(tagged), "") << hex(wire);

        // kest writes any record; protobuf reads the values kest meant
        std::deque<Bytes> store;
        const R built = build<R>(src, store);
        const Bytes ours = kest::encode(built);
        one->Clear();
        mine->Clear();
        ASSERT_TRUE(one->ParseFromArray(ours.data(), int(ours.size()))) << hex(ours);
        ASSERT_EQ(to_proto(built, *mine), "");
        EXPECT_TRUE(bytes_of(*one) == bytes_of(*mine)) << hex(ours);
        EXPECT_EQ(check_all<R>(Bytes{1}, &src), "");
    }
}

// Repeated scalars in either form and in pieces, and oneof members in any order.
TEST(Own, ReadsAsProtobufDoes) {
    EXPECT_EQ((parts_as_listed<Gauge, telemetry::Gauge>({
        {"packed and not, split by another field", "5A 02 01 02 58 03 08 01 5A 01 04", KEST_OK, true},
        {"a packed-declared run one value at a time", "61 01 00 00 00 00 00 00 80 61 02 00 00 00 00 00 00 00", KEST_OK, true},
        {"empty packed, then values", "6A 00 68 01 6A 02 02 00", KEST_OK, true},
        {"packed fixed64 cut to 3 bytes", "62 03 01 02 03", KEST_ERR_MALFORMED, false},
        {"packed varint cut inside a value", "5A 02 01 80", KEST_ERR_MALFORMED, false},
        {"packed varint cut inside its only value", "5A 01 80", KEST_ERR_MALFORMED, false},
        {"packed double whose length runs past the end", "72 10 00 00 00 00 00 00 F0 3F", KEST_ERR_MALFORMED, false},
        {"a value of another wire type", "5D 01 00 00 00", KEST_ERR_FIELD_TYPE, true},
    })), "");
    EXPECT_EQ((parts_as_listed<Reading, telemetry::Reading>({
        {"a oneof's later member replaces the earlier", "38 05 42 01 61", KEST_OK, true},
        {"the other way round", "42 01 61 08 01 38 05", KEST_OK, true},
        {"one member twice: the last value", "38 05 38 06", KEST_OK, true},
    })), "");
    EXPECT_EQ((parts_as_listed<Probe, telemetry::Probe>({
        {"a sub-message twice: merged by protobuf", "2A 02 08 01 2A 02 10 02", KEST_ERR_MALFORMED, true},
    })), "");
    // A message that holds itself, nested to the depth where both stop, and past it.
    for (int depth : {99, 100, 101}) {
        Bytes wire;
        for (int i = 0; i < depth; ++i) {
            Bytes outer{0x32};  // Probe.parent
            put_varint(outer, wire.size());
            outer.insert(outer.end(), wire.begin(), wire.end());
            wire = outer;
        }
        const bool protobuf = telemetry::Probe().ParseFromArray(wire.data(), int(wire.size()));
        EXPECT_EQ(kest::record<Probe>().decode(wire) == kest::errc::ok, protobuf) << depth;
    }
}

}  // namespace
