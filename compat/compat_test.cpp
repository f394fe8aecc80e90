// libkest against Google's protobuf: known differences and the JSON mapping (the rest: fuzz/).
#include "proto_map.hpp"
#include "tools/json_map.hpp"

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace kt;
template <class R>
struct Compat : ::testing::Test {};
TYPED_TEST_SUITE(Compat, kest::messages_as<::testing::Types>);

// Where the parsers part, as the README lists, and odd input they read alike.
TEST(Compat, KnownDifferences) {
    EXPECT_EQ((parts_as_listed<srg_sync_msg, kest::srg::srg_sync_msg>({
        {"byte string twice: the last wins in protobuf", "32 01 AA 08 01 32 01 BB", KEST_ERR_MALFORMED, true},
        {"run split by another field", "7A 02 08 01 08 07 7A 02 08 02", KEST_ERR_MALFORMED, true},
        {"unknown group: skipped by protobuf", "6B 08 01 6C 08 02", KEST_ERR_WIRE_TYPE, true},
        {"known field, another wire type: kept as unknown by protobuf", "0D 01 00 00 00", KEST_ERR_FIELD_TYPE, true},
        {"eleven-byte varint: refused by protobuf", "08 FF FF FF FF FF FF FF FF FF 81 00", KEST_OK, false},
        {"eleven-byte tag", "88 80 80 80 80 80 80 80 80 80 00 05", KEST_OK, false},
        {"field number 0", "00 05 08 01", KEST_OK, false},
        {"unknown fields of every kind", "68 96 01 71 01 02 03 04 05 06 07 08 9A 01 02 AA BB A5 01 01 02 03 04", KEST_OK, true},
        {"bool set above its low 32 bits: false in kest", "90 01 80 80 80 80 10", KEST_OK, true, false},
    })), "");
}

// protobuf's JSON functions and the tool's, in protobuf's style, read each other's output.
TYPED_TEST(Compat, JsonMappingBothWays) {
    using R = TypeParam;
    namespace tool = kest::tool;
    Seeded src{std::mt19937_64(4)};
    for (int i = 0; i < 200 && !this->HasFailure(); ++i) {
        std::deque<Bytes> store;
        const R m = build<R>(src, store);
        const auto p = pb_of<R>(), theirs = pb_of<R>();
        ASSERT_EQ(to_proto(m, *p), "");
        std::ostringstream ours;
        tool::write_json(ours, m, {tool::json_style::proto, i % 2 == 1});
        ASSERT_TRUE(pb::util::JsonStringToMessage(ours.str(), theirs.get()).ok()) << ours.str();
        EXPECT_EQ(theirs->SerializeAsString(), p->SerializeAsString()) << ours.str();
        std::string text;
        ASSERT_TRUE(pb::util::MessageToJsonString(*p, &text).ok());
        kest::record<R> back;
        tool::json_reader(text, tool::json_style::proto).read(*back, back.alloc());
        EXPECT_EQ(hex(kest::encode(*back)), hex(kest::encode(m))) << text;
    }
}

}  // namespace
