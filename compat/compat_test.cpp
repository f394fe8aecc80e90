// libkest against Google's protobuf, both ways, over random records of every message.
#include "bridge.hpp"

namespace {

using namespace compat;

using Messages = ::testing::Types<srg_opaque, srg_cmd_msg, srg_sync_msg, srg_neg_msg, srg_opq_dhcpv4_msg,
                                  ia_id_msg, srg_opq_dhcpv6_msg>;

template <class T>
struct Compat : ::testing::Test {};
TYPED_TEST_SUITE(Compat, Messages);

constexpr int kRecords = 400;
constexpr uint64_t kSeed = 0x6b657374;

// The .proto must describe exactly the engine's field lists.
TYPED_TEST(Compat, ProtoMatchesFieldList) {
    using R = TypeParam;
    const pb::Descriptor *d = proto_of<R>::descriptor();
    EXPECT_EQ(d->name(), kest::name_of<R>);
    EXPECT_EQ(d->field_count(), static_cast<int>(kest::core::fields_of<R>::size));
    for_each_field<R>([&]<class F, size_t>() {
        const pb::FieldDescriptor *fd = d->FindFieldByNumber(F::tag::number);
        ASSERT_NE(fd, nullptr) << "field " << F::tag::number;
        EXPECT_EQ(fd->name(), "f" + std::to_string(F::tag::number));
        EXPECT_EQ(fd->is_repeated(), kind<F> == "repeated") << fd->name();
        EXPECT_FALSE(fd->is_packed()) << fd->name();
        if constexpr (kind<F> == "repeated")
            EXPECT_EQ(fd->message_type()->name(), kest::name_of<typename F::element>);
        else
            EXPECT_EQ(fd->type_name(), kind<F>) << fd->name();
    });
}

TYPED_TEST(Compat, ProtobufParsesWhatKestWrites) {
    using R = TypeParam;
    Source src(kSeed);
    for (int i = 0; i < kRecords; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        const R m = src.record<R>();
        const Bytes wire = encode_copy(m);
        Bytes runs;
        EXPECT_EQ(kt::to_hex(join(encode_segments(m, runs))), kt::to_hex(wire));

        proto_of<R> p;
        ASSERT_TRUE(p.ParseFromArray(wire.data(), static_cast<int>(wire.size())));
        expect_same(m, p);
        // Both write fields in number order, so the bytes agree exactly.
        EXPECT_EQ(kt::to_hex(wire), to_hex(p.SerializeAsString()));
    }
}

TYPED_TEST(Compat, KestReadsWhatProtobufWrites) {
    using R = TypeParam;
    Source src(kSeed + 1);
    for (int i = 0; i < kRecords; ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        proto_of<R> p;
        to_proto(src.record<R>(), p);
        const std::string wire = p.SerializeAsString();
        const auto *bytes = reinterpret_cast<const uint8_t *>(wire.data());
        expect_decodes_to<R>(bytes, wire.size(), 0, p);
        expect_decodes_to<R>(bytes, wire.size(), KEST_FLAG_ZERO_COPY, p);
    }
}

// Inputs on which the two parsers are known to differ or agree; when both accept,
// they must read the same record.
struct Case {
    const char *what;
    const char *hex;
    int32_t kest;   // libkest's result (both modes)
    bool protobuf;  // whether protobuf parses it
};

template <class R>
void check(const Case &c) {
    SCOPED_TRACE(c.what);
    const Bytes wire = kt::hex(c.hex);
    proto_of<R> p;
    EXPECT_EQ(p.ParseFromArray(wire.data(), static_cast<int>(wire.size())), c.protobuf);
    for (uint32_t flags : {0u, KEST_FLAG_ZERO_COPY}) {
        if (c.kest == KEST_OK && c.protobuf) {
            expect_decodes_to<R>(wire.data(), wire.size(), flags, p);
            continue;
        }
        kt::Tracker t;
        R m{};
        EXPECT_EQ(decode(m, wire.data(), wire.size(), kt::Tracker::alloc, &t, flags), c.kest);
        release(m, kt::Tracker::release, &t, flags);
        t.expect_clean();
    }
}

TEST(Differences, CommandMessage) {
    const Case cases[] = {
        // Stricter: a byte string may come once; protobuf keeps the last.
        {"bytes field twice", "6A 01 AA 08 01 6A 01 BB", KEST_ERR_MALFORMED, true},
        // Looser: protobuf gives up on a varint after ten bytes.
        {"eleven-byte varint", "08 FF FF FF FF FF FF FF FF FF 81 00", KEST_OK, false},
        {"eleven-byte tag", "88 80 80 80 80 80 80 80 80 80 00 05", KEST_OK, false},
        {"field number 0", "00 05 08 01", KEST_OK, false},
        // Stricter: an unknown group is refused rather than skipped.
        {"unknown group", "33 08 01 34 08 02", KEST_ERR_WIRE_TYPE, true},
        // The same on both sides.
        {"ten-byte negative int32 in a uint32", "08 FE FF FF FF FF FF FF FF FF 01", KEST_OK, true},
        {"unknown fields of every kind", "30 96 01 39 01 02 03 04 05 06 07 08 42 02 AA BB 4D 01 02 03 04 "
                                         "C0 3E 07 08 05 6A 00",
         KEST_OK, true},
        {"scalar twice, last wins", "70 01 70 02", KEST_OK, true},
        {"unknown field, wire type 7", "37 00", KEST_ERR_WIRE_TYPE, false},
        {"known field, wrong wire type", "0D 01 00 00 00", KEST_ERR_FIELD_TYPE, true},
        {"length past the end", "6A 05 AA", KEST_ERR_MALFORMED, false},
    };
    for (const Case &c : cases) check<srg_cmd_msg>(c);
}

TEST(Differences, SyncMessage) {
    const Case cases[] = {
        {"bool written as 2", "90 01 02", KEST_OK, true},
        // Stricter: the elements of a repeated field must come as one run.
        {"run split by another field", "7A 02 08 01 08 07 7A 02 08 02", KEST_ERR_MALFORMED, true},
        {"one run", "08 07 7A 02 08 01 7A 02 08 02 7A 00", KEST_OK, true},
    };
    for (const Case &c : cases) check<srg_sync_msg>(c);
}

}  // namespace
