// protoc-gen-kest run in-process on proto text: what it refuses, and what it writes.
#include "generator.hpp"

#include <google/protobuf/compiler/importer.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace pb = google::protobuf;

// "a.proto: text | text": files for one import, t.proto when unnamed; the last is imported.
struct Protos : pb::compiler::SourceTree, pb::compiler::MultiFileErrorCollector {
    std::map<std::string, std::string> texts;
    std::string errors;
    pb::compiler::Importer importer{this, this};
    pb::io::ZeroCopyInputStream *Open(const std::string &name) override {
        const auto it = texts.find(name);
        return it == texts.end() ? nullptr : new pb::io::ArrayInputStream(it->second.data(), int(it->second.size()));
    }
    void AddError(const std::string &file, int line, int column, const std::string &message) override {
        errors += file + ":" + std::to_string(line + 1) + ":" + std::to_string(column + 1) + ": " + message + "\n";
    }
    const pb::FileDescriptor *add(const std::string &files) {
        std::string name;
        for (size_t at = 0, end; at < files.size(); at = end + 3) {
            end = std::min(files.find(" | ", at), files.size());
            std::string text = files.substr(at, end - at);
            name = "t.proto";
            if (const size_t colon = text.find(".proto: "); colon < text.find(' ')) {
                name = text.substr(0, colon + 6);
                text.erase(0, colon + 8);
            }
            texts[name] = text.starts_with("syntax") ? text : "syntax = \"proto2\";\n" + text;
        }
        return importer.Import(name);
    }
};

struct Outputs : pb::compiler::GeneratorContext {
    std::map<std::string, std::string> files;
    std::string error;
    pb::io::ZeroCopyOutputStream *Open(const std::string &name) override {
        return new pb::io::StringOutputStream(&files[name]);
    }
};

std::string numbered_fields(int n) {
    std::string text = "message M {";
    for (int i = 1; i <= n; ++i) text += " optional uint32 a" + std::to_string(i) + " = " + std::to_string(i) + ";";
    return text + " }";
}

constexpr const char *renamed = "is not supported; rename the message: kest names a record after its message";

// Refused: a part of each line of the refusal; accepted (`files` written): "file: a part of it".
struct Case {
    std::string protos;
    std::vector<std::string> expected;
    std::string parameter = "prefix=p_";
    size_t files = 0;
};
const std::string request = "dep.proto: message Dep { optional uint32 f1 = 1; } | dir/t.proto: import \"dep.proto\";\n"
                            "// A request.\nmessage Request { optional string name = 3; optional uint32 id = 1; "
                            "repeated Part parts = 2047; optional bool f4 = 4; repeated Dep deps = 9; "
                            "message Part { optional fixed32 f1 = 1; optional uint64 f2 = 2; } }";
const Case cases[] = {
    {"message M { repeated uint32 a = 1; optional group F = 2 { optional uint32 y = 3; } "
     "map<uint32, M> d = 4; oneof o { M e = 5; } optional group G = 6 { optional uint32 x = 7; } }",
     {"t.proto: message M, field f (number 2): a group is not supported; declare its fields in a message of their own",
      "field g (number 6): a group is"}},
    {"message M { required uint32 a = 1; optional uint32 b = 2 [default = 5]; }",
     {"field a (number 1): a required field", "field b (number 2): an explicit default is"}},
    // Messages that hold each other: the one held before it is defined is declared first.
    {"message A { optional B b = 1; repeated A a = 2; } message B { repeated A a = 1; } message C { optional C c = 1; }",
     {"t.kest.h: typedef struct A A;\ntypedef struct C C;\n\ntypedef struct B {\n    A *f1; /* a */\n    uint32_t n_f1;\n",
      "t.kest.h: struct A {\n    B *f1; /* b */\n    A *f2; /* a */\n    uint32_t n_f2;\n    uint8_t present;\n};\n",
      "t.kest.hpp: field<kind::message, 1, \"b\", KEST_MEMBER(::A, f1)>,"}, "prefix=p_", 3},
    {"syntax = \"proto3\"; message M { uint32 a = 1; optional sint64 c = 3; repeated float d = 4; "
     "repeated int64 e = 5 [packed = false]; oneof o { bytes f = 6; } }",
     {"t.kest.hpp: implicit<field<kind::uint32, 1, \"a\", KEST_MEMBER(::M, f1)>>,\n"
      "        field<kind::sint64, 3, \"c\", KEST_MEMBER(::M, f3)>,\n"
      "        repeated_field<kind::float32, true, 4, \"d\", KEST_MEMBER(::M, f4), KEST_MEMBER(::M, n_f4)>,\n"
      "        repeated_field<kind::int64, false, 5, \"e\", KEST_MEMBER(::M, f5), KEST_MEMBER(::M, n_f5)>,\n"
      "        oneof_member<1, field<kind::bytes, 6, \"f\", KEST_MEMBER(::M, f6), KEST_MEMBER(::M, f6_len)>>>;",
      "t.kest.h:     float *f4; /* d */\n    uint32_t n_f4;\n"}, "prefix=p_", 3},
    {numbered_fields(65), {"t.kest.h:     uint64_t present[2];\n", "t.kest.h: #define P_M_A65 (UINT64_C(1) << 0) /* present[1] */\n"},
     "prefix=p_", 3},
    {"message M { message N { repeated bytes z = 1; } extensions 9; } extend M { optional uint32 x = 9; }",
     {"t.proto: extension x of M (number 9): an extension is"}},
    {"message register {} message class {} message kest_segment {} message index {} message record {} "
     "message dst {} message UINT8_MAX {} message _Bool {}",
     {std::string("t.proto: message register: a record named register (a C or C++ keyword) ") + renamed,
      "message class: a record named class (a C or C++ keyword)", "kest_segment (in libkest's own kest_",
      "index (a name of the C library", "record (a name of kest.hpp's namespace", "dst (the name of a parameter",
      "UINT8_MAX (a macro of <stdint.h>)", "_Bool (reserved to the C implementation)"}},
    // Names two things would share, in one file or across an import.
    {"message A { message B {} } message A_B {} message p_A_B_free_ext {}",
     {"message A_B: the record A_B, also the record of message A.B, is not supported; rename one of them",
      "message p_A_B_free_ext: the record p_A_B_free_ext, also the function of message A.B, is"}},
    {"a.proto: package a; message Route {} | import \"a.proto\"; message Route { repeated a.Route r = 1; }",
     {"t.proto: message Route: the record Route, also the record of message Route in a.proto, is not supported"}},
    {"message M { optional uint32 ab = 1; optional uint32 AB = 2; } message T { optional uint32 messages = 1; }",
     {"message M, field AB (number 2): the presence bit P_M_AB, also the presence bit of message M, field ab",
      "message T, field messages (number 1): the presence bit P_T_MESSAGES, also the macro of t.proto, is"}},
    {"d/t.proto: message A {} | import \"d/t.proto\"; message B { repeated A a = 1; }",
     {"t.proto: the macro P_T_MESSAGES, also the macro of d/t.proto, is not supported; rename one of them"}},
    {"message ERR { optional uint32 malformed = 1; }", {"KEST_ERR_MALFORMED, also libkest's, is"}, "prefix=kest_"},
    // An import is written whole, though a field names only part of it.
    {"ts.proto: package g; message Stamp { optional group S = 1 {} } message Ok {} | import \"ts.proto\"; "
     "message E { repeated g.Ok oks = 1; }",
     {"t.proto: import \"ts.proto\": a file kest cannot take (its lines say why) is not supported",
      "ts.proto: message Stamp, field s (number 1): a group is"}},
    {"message M {}", {"no prefix: protoc-gen-kest needs --kest_opt=prefix=NAME"}, ""},
    {"message M {}", {"no prefix"}, "prefix=,split"}, {"message M {}", {"prefix=1x cannot start a C"}, "prefix=1x"},
    {"message M {}", {"unknown parameter split=yes; protoc-gen-kest takes prefix=NAME"}, "prefix=p_,split=yes"},
    // Accepted: unused enums and extension ranges; libkest's own records; 64 fields in one word.
    {"enum E { Z = 0; } message M { extensions 3000 to max; optional uint32 a = 2047; }", {}, "prefix=p_", 3},
    {"package kest.srg; message srg_opaque { optional uint32 f1 = 1; } message bit {}", {}, "prefix=kest_", 3},
    {numbered_fields(64), {"t.kest.h:     uint64_t present;\n"}, "prefix=p_", 3},
    // skip_unsupported: what would be refused is left out and named; a oneof left empty goes too.
    {"message M { optional uint32 a = 1; oneof o { group G = 3 { optional uint32 x = 4; } } required uint32 c = 5; "
     "extensions 9; } extend M { optional uint32 y = 9; }",
     {"t.kest.h: t.proto: do not edit. */\n/* Left out by skip_unsupported: on the wire these are unknown fields, "
      "skipped.\n * message M, field g (number 3): a group\n * message M, field c (number 5): a required field (kest "
      "does not check presence)\n * extension y: an extension\n */\n",
      "t.kest.h: typedef struct M {\n    uint32_t f1; /* a */\n    uint8_t present;\n} M;"},
     "skip_unsupported,prefix=p_", 3},
    {request,
     {"t.kest.h: #include \"dep.kest.h\"\n", "t.kest.hpp: #include \"dep.kest.hpp\"\n",
      "t.kest.h: /* A request. */\ntypedef struct Request {\n    uint32_t f1; /* id */\n    const uint8_t *f3; /* name */\n"
      "    uint64_t f3_len;\n    bool f4;\n    Dep *f9; /* deps */\n    uint32_t n_f9;\n    Request_Part *f2047; /* parts */\n"
      "    uint32_t n_f2047;\n    uint8_t present;\n} Request;\n\n#define APP_REQUEST_ID    (1u << 0)\n",
      "t.kest.h: #define APP_REQUEST_PARTS (1u << 4)\n\nuint64_t",
      "t.kest.h: int32_t app_Request_Part_decode_ext(Request_Part *msg, const uint8_t *buf, uint64_t buflen);",
      "t.kest.h: #define APP_T_MESSAGES(X) \\\n    X(Request_Part)       \\\n    X(Request)\n",
      "t.kest.hpp: field<kind::uint32, 1, \"id\", KEST_MEMBER(::Request, f1)>,\n"
      "        field<kind::bytes, 3, \"name\", KEST_MEMBER(::Request, f3), KEST_MEMBER(::Request, f3_len)>,\n",
      "t.kest.cpp: KEST_DEFINE_PLAIN_OPERATIONS(app_, Request_Part)\nKEST_DEFINE_OPERATIONS(app_, Request)\n"},
     "prefix=app_", 3},
};

TEST(Generate, WritesOrRefusesWithOneLineEach) {
    for (const Case &c : cases) {
        Protos protos;
        const pb::FileDescriptor *file = protos.add(c.protos);
        ASSERT_TRUE(file) << protos.errors;
        Outputs run;
        const bool ok = kest::gen::Generator().GenerateAll({file}, c.parameter, &run, &run.error);
        EXPECT_EQ(run.files.size(), c.files) << c.protos << "\n" << run.error;
        EXPECT_EQ(ok, c.files != 0);
        std::vector<std::string> lines;
        std::istringstream error(run.error);
        for (std::string line; std::getline(error, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), ok ? 0 : c.expected.size()) << c.protos << "\n" << run.error;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const size_t at = ok ? c.expected[i].find(": ") + 2 : 0;
            const std::string &text = ok ? run.files[c.expected[i].substr(0, at - 2)] : lines[i];
            EXPECT_NE(text.find(c.expected[i].substr(at)), std::string::npos) << c.expected[i] << "\n" << run.error;
        }
    }
}

}  // namespace
