// protoc-gen-kest run in-process on proto text: what it refuses, and what it writes.
#include "generator.hpp"

#include <google/protobuf/compiler/parser.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

namespace pb = google::protobuf;

struct Collector : pb::io::ErrorCollector {
    std::string errors;
    void AddError(int line, pb::io::ColumnNumber column, const std::string &message) override {
        errors += std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message + "\n";
    }
};

// Files parsed into one pool, so that later ones can import earlier ones.
struct Protos {
    pb::DescriptorPool pool;
    const pb::FileDescriptor *add(const std::string &name, const std::string &text) {
        const std::string source = text.starts_with("syntax") ? text : "syntax = \"proto2\";\n" + text;
        pb::io::ArrayInputStream input(source.data(), static_cast<int>(source.size()));
        Collector collector;
        pb::io::Tokenizer tokenizer(&input, &collector);
        pb::compiler::Parser parser;
        parser.RecordErrorsTo(&collector);
        pb::FileDescriptorProto proto;
        parser.Parse(&tokenizer, &proto);
        proto.set_name(name);
        const pb::FileDescriptor *file = collector.errors.empty() ? pool.BuildFile(proto) : nullptr;
        EXPECT_TRUE(file) << name << ":\n" << collector.errors;
        return file;
    }
};

struct Outputs : pb::compiler::GeneratorContext {
    std::map<std::string, std::string> files;
    pb::io::ZeroCopyOutputStream *Open(const std::string &name) override {
        return new pb::io::StringOutputStream(&files[name]);
    }
};

struct Result {
    bool ok;
    std::string error;
    std::map<std::string, std::string> files;
};
Result generate(const pb::FileDescriptor *file, const std::string &parameter) {
    Outputs out;
    std::string error;
    const bool ok = kest::gen::Generator().Generate(file, parameter, &out, &error);
    return {ok, error, out.files};
}

std::string numbered_fields(int n) {
    std::string text = "message M {";
    for (int i = 1; i <= n; ++i) text += " optional uint32 a" + std::to_string(i) + " = " + std::to_string(i) + ";";
    return text + " }";
}

constexpr const char *supported =
    "is not supported; kest supports optional uint32, uint64, bool, fixed32, bytes and string fields and repeated "
    "messages";

struct Case {
    std::string proto, expected;  // a part of the refusal; "" when the file is accepted
};
const Case cases[] = {
    {"message M { optional int32 a = 1; }", std::string("t.proto: message M, field a (number 1): int32 ") + supported},
    {"message M { optional int64 a = 1; }", "field a (number 1): int64 is"},
    {"message M { optional sint32 a = 1; }", "field a (number 1): sint32 is"},
    {"message M { optional sint64 a = 1; }", "field a (number 1): sint64 is"},
    {"message M { optional sfixed32 a = 1; }", "field a (number 1): sfixed32 is"},
    {"message M { optional sfixed64 a = 1; }", "field a (number 1): sfixed64 is"},
    {"message M { optional fixed64 a = 1; }", "field a (number 1): fixed64 is"},
    {"message M { optional float a = 1; }", "field a (number 1): float is"},
    {"message M { optional double a = 1; }", "field a (number 1): double is"},
    {"enum E { Z = 0; } message M { optional E a = 1; }", "field a (number 1): an enum is"},
    {"message M { repeated uint32 a = 1; }", "field a (number 1): repeated uint32 is"},
    {"message M { repeated fixed32 a = 1 [packed = true]; }", "field a (number 1): repeated fixed32 is"},
    {"message M { map<uint32, bytes> a = 1; }", "field a (number 1): a map is"},
    {"message M { oneof o { uint32 a = 1; } }", "field a (number 1): a oneof (o) is"},
    {"message M { optional group G = 1 { optional uint32 x = 2; } }", "field g (number 1): a group is"},
    {"syntax = \"proto3\"; message M { uint32 a = 1; }", "field a (number 1): a proto3 field without `optional`"},
    {"message M { required uint32 a = 1; }", "field a (number 1): a required field"},
    {"message M { optional uint32 a = 1 [default = 5]; }", "field a (number 1): an explicit default is"},
    {"message E {} message M { optional E a = 1; }", "field a (number 1): a singular embedded message is"},
    {"message M { repeated M a = 1; }", "field a (number 1): a message that embeds itself (M -> M) is"},
    {"message A { repeated B b = 1; } message B { repeated A a = 2; }", "message A, field b (number 1): a message "
                                                                         "that embeds itself (A -> B -> A) is"},
    {"message M { optional uint32 a = 2048; }", "field a (number 2048): a field number above 2047 is"},
    {numbered_fields(65), "message M: 65 fields are not supported"},
    {"message M { extensions 9 to 10; } extend M { optional uint32 x = 9; }", "extension x of M (number 9): an "
                                                                               "extension is"},
    {"message A { message B {} } message A_B {}", "message A_B: a record name (A_B) shared with message A.B is"},
    // The first problem in the file, nested or not.
    {"message M { message N { optional sint32 z = 1; } optional float b = 2; }", "message M.N, field z (number 1)"},
    {"extend M { optional uint32 x = 9; } message M { extensions 9; optional float b = 1; }", "extension x of M"},
    // Accepted: proto3 `optional` has presence; unused enums and extension ranges cost nothing.
    {"syntax = \"proto3\"; message M { optional uint32 a = 1; optional string s = 2; repeated E e = 3; } "
     "message E {}", ""},
    {"enum E { Z = 0; } message M { extensions 3000 to max; optional uint32 a = 2047; }", ""},
    {numbered_fields(64), ""},
};

TEST(Refusal, NamesTheFirstUnsupportedThingOnOneLine) {
    for (const Case &c : cases) {
        Protos protos;
        const pb::FileDescriptor *file = protos.add("dir/t.proto", c.proto);
        ASSERT_TRUE(file);
        const std::string why = kest::gen::refusal(*file);
        if (c.expected.empty()) {
            EXPECT_EQ(why, "") << c.proto;
            continue;
        }
        EXPECT_NE(why.find(c.expected), std::string::npos) << c.proto << "\n  refusal: " << why;
        EXPECT_TRUE(why.starts_with("t.proto: ") && why.find('\n') == std::string::npos) << why;
    }
}

TEST(Generate, RefusesBadParametersAndFilesWritingNothing) {
    const struct {
        std::string parameter, proto, expected;
    } runs[] = {
        {"", "message M {}", "no prefix: protoc-gen-kest needs --kest_opt=prefix=NAME"},
        {"prefix=,split", "message M {}", "no prefix"},
        {"prefix=1x", "message M {}", "prefix=1x cannot start a C function name"},
        {"prefix=p_,split=yes", "message M {}", "unknown parameter split=yes"},
        {"prefix=p_", "message M { optional double d = 4; }", "message M, field d (number 4): double is"},
    };
    for (const auto &r : runs) {
        Protos protos;
        const Result run = generate(protos.add("t.proto", r.proto), r.parameter);
        EXPECT_FALSE(run.ok) << r.parameter;
        EXPECT_NE(run.error.find(r.expected), std::string::npos) << r.parameter << "\n  error: " << run.error;
        EXPECT_EQ(run.error.find('\n'), std::string::npos) << run.error;
        EXPECT_TRUE(run.files.empty()) << r.parameter;
    }
}

// Names other than fN, numbers out of order, a nested element declared after its user,
// an import: the record, the field list, the order of the lists, the files.
TEST(Generate, WritesRecordsFieldListsAndOperations) {
    Protos protos;
    protos.add("dep.proto", "message Dep { optional uint32 f1 = 1; }");
    const pb::FileDescriptor *file = protos.add("dir/t.proto", R"(import "dep.proto";
        // A request.
        message Request {
          optional string name = 3;
          optional uint32 id = 1;
          repeated Part parts = 2047;
          optional bool f4 = 4;
          repeated Dep deps = 9;
          message Part { optional fixed32 f1 = 1; optional uint64 f2 = 2; }
        })");
    const Result run = generate(file, "prefix=app_"), split = generate(file, "split,prefix=app_");
    ASSERT_TRUE(run.ok && split.ok) << run.error;
    const std::pair<const char *, const char *> expected[] = {
        {"t.kest.h", "#include <kest_types.h>\n#include \"dep.kest.h\"\n"},
        {"t.kest.h", "/* A request. */\ntypedef struct Request {\n    uint32_t f1; /* id */\n"
                     "    const uint8_t *f3; /* name */\n    uint64_t f3_len;\n    bool f4;\n"
                     "    Dep *f9; /* deps */\n    uint32_t n_f9;\n    Request_Part *f2047; /* parts */\n"
                     "    uint32_t n_f2047;\n    uint8_t present;\n} Request;\n"},
        {"t.kest.h", "void app_Request_free_ext(Request *msg, kest_free_fn release, void *release_ctx, uint32_t flags);"},
        {"t.kest.h", "int32_t app_Request_Part_decode_ext(Request_Part *msg, const uint8_t *buf, uint64_t buflen);"},
        {"t.kest.h", "#define APP_T_MESSAGES(X) \\\n    X(Request_Part)       \\\n    X(Request)\n"},
        {"t.kest.h", "#define APP_T_OPERATIONS(X) \\\n    X(app_, Request_Part)   \\\n    X(app_, Request)\n"},
        {"t.kest.hpp", "#include \"t.kest.h\"\n#include \"dep.kest.hpp\"\n"},
        {"t.kest.hpp", "struct kest::core::schema<Request> {\n    using fields = field_list<\n"
                       "        u32<1, &Request::f1>,\n        bytes<3, &Request::f3, &Request::f3_len>,\n"
                       "        boolean<4, &Request::f4>,\n        repeated<9, &Request::f9, &Request::n_f9>,\n"
                       "        repeated<2047, &Request::f2047, &Request::n_f2047>>;\n};\n"},
        {"t.kest.hpp", "fixed32<1, &Request_Part::f1>,\n        u64<2, &Request_Part::f2>>;"},
        {"t.kest.cpp", "#include \"t.kest.hpp\"\n\nKEST_DEFINE_PLAIN_OPERATIONS(app_, Request_Part)\n"
                       "KEST_DEFINE_OPERATIONS(app_, Request)\n"},
        {"Request.kest.cpp", "#include \"t.kest.hpp\"\n\nKEST_DEFINE_OPERATIONS(app_, Request)\n"},
    };
    for (const auto &[name, part] : expected) {
        const Result &r = std::string_view(name).starts_with("Request") ? split : run;
        ASSERT_TRUE(r.files.count(name)) << name;
        EXPECT_NE(r.files.at(name).find(part), std::string::npos) << name << " lacks:\n" << part;
    }
    EXPECT_EQ(run.files.size(), 3u);
    EXPECT_EQ(split.files.size(), 4u);
}

}  // namespace
