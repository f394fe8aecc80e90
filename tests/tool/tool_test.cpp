// The kest tool run as a user runs it: real files, exit status, standard output and
// standard error, checked against hand-made JSON and against the library itself.
#include "support.hpp"
#include "tools/messages.hpp"

#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;  // compared without regard to key order

struct Outcome {
    int status;
    std::string out, err;
};

const fs::path &scratch() {
    static const fs::path dir = [] {
        std::string t = (fs::path(testing::TempDir()) / "kest-tool-XXXXXX").string();
        return fs::path(mkdtemp(t.data()));
    }();
    return dir;
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Outcome kest(const std::string &args, const std::string &input = "") {
    const fs::path in = scratch() / "in", out = scratch() / "out", err = scratch() / "err";
    std::ofstream(in, std::ios::binary) << input;
    const int rc = std::system(
        (KEST_TOOL " " + args + " <" + in.string() + " >" + out.string() + " 2>" + err.string()).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
}

// The library's own verdict on the bytes: its result name and its re-encoding.
std::pair<std::string, kt::Bytes> library_decode(const std::string &message, const kt::Bytes &wire) {
    std::pair<std::string, kt::Bytes> got;
    kest::tool::visit_message(message, [&]<class R>() {
        kest::record<R> rec;
        got.first = kest::to_string(rec.decode(wire));
        got.second = kest::encode(*rec);
    });
    return got;
}

TEST(Tool, EverySampleRoundTrips) {
    for (const std::string &m : kest::tool::message_names()) {
        SCOPED_TRACE(m);
        const Outcome sample = kest("sample " + m), wire = kest("encode " + m, sample.out);
        ASSERT_EQ(wire.status, 0) << wire.err;
        const json record = json::parse(sample.out);
        std::set<std::string> keys, members;
        for (const auto &[key, value] : record.items()) keys.insert(key);
        kest::tool::visit_message(m, [&]<class R>() {
            kest::core::for_each_field<R>(
                [&]<class F, size_t>() { members.insert(kest::tool::member_name<F>()); });
        });
        EXPECT_EQ(keys, members) << "a sample shows every field";

        std::ofstream(scratch() / "wire.bin", std::ios::binary) << wire.out;
        for (const std::string &decode : {"decode " + m, "decode --zero-copy " + m,
                                          "decode " + m + " " + (scratch() / "wire.bin").string()}) {
            const Outcome back = kest(decode, wire.out);
            ASSERT_EQ(back.status, 0) << decode << ": " << back.err;
            EXPECT_EQ(json::parse(back.out), record) << decode;
        }
        const kt::Bytes bytes(wire.out.begin(), wire.out.end());
        EXPECT_EQ(library_decode(m, bytes), std::make_pair(std::string("KEST_OK"), bytes));
    }
}

struct DecodeCase {
    const char *message, *hex;
    const char *json;    // the record; after a failure, what --partial shows of it
    const char *result;  // the library's result, named on standard error unless KEST_OK
};

const DecodeCase kDecodes[] = {
    {"srg_opaque", "08 01 1A 03 AA BB CC", R"({"f1":1,"f3":"aabbcc"})", "KEST_OK"},
    {"srg_opaque", "88 80 80 80 80 00 05 00 05 08 09", R"({"f1":9})", "KEST_OK"},
    {"srg_opaque", "08 FF FF FF FF FF FF FF FF FF 01 1A 00", R"({"f1":4294967295,"f3":""})", "KEST_OK"},
    {"srg_neg_msg", "30 02 48 80 01 78 00", R"({"f6":true,"f9":true,"f15":0})", "KEST_OK"},
    {"srg_sync_msg", "5D 02 01 00 00 7A 04 08 01 1A 00 7A 00 80 01 05",
     R"({"f11":258,"f15":[{"f1":1,"f3":""},{}],"f16":5})", "KEST_OK"},
    {"srg_opq_dhcpv4_msg", "B0 01 FF FF FF FF FF FF FF FF FF 01", R"({"f22":18446744073709551615})",
     "KEST_OK"},
    {"srg_opq_dhcpv6_msg", "28 81 80 80 80 80 80 80 10 72 02 08 2A",
     R"({"f5":9007199254740993,"f14":[{"f1":42}]})", "KEST_OK"},
    {"srg_opaque", "08 07 10 09 1A 05 AA", R"({"f1":7,"f2":9})", "KEST_ERR_MALFORMED"},
    {"srg_opaque", "08 01 0D 01 00 00 00", R"({"f1":1})", "KEST_ERR_FIELD_TYPE"},
    {"srg_opaque", "10 02 3B", R"({"f2":2})", "KEST_ERR_WIRE_TYPE"},
    {"srg_sync_msg", "7A 00 08 01 7A 00", R"({"f1":1,"f15":[{}]})", "KEST_ERR_MALFORMED"},
    // A run whose element failed keeps its presence bit clear, so it is not shown.
    {"srg_sync_msg", "08 01 32 02 AB CD 7A 02 0D 00", R"({"f1":1,"f6":"abcd"})", "KEST_ERR_FIELD_TYPE"},
};

TEST(Tool, DecodeAgreesWithTheLibrary) {
    for (const DecodeCase &c : kDecodes) {
        SCOPED_TRACE(std::string(c.message) + ": " + c.hex);
        const auto [result, canonical] = library_decode(c.message, kt::hex(c.hex));
        EXPECT_EQ(result, c.result);
        const bool ok = result == "KEST_OK";
        for (const char *mode : {"", "--zero-copy "}) {
            const Outcome plain = kest(std::string("decode --hex ") + mode + c.message, c.hex);
            const Outcome partial = kest(std::string("decode --hex --partial ") + mode + c.message, c.hex);
            EXPECT_EQ(plain.status, ok ? 0 : 1);
            EXPECT_EQ(json::parse(partial.out), json::parse(c.json));
            EXPECT_EQ(plain.out, ok ? partial.out : "") << "JSON after a failure only with --partial";
            if (ok) {
                const Outcome again = kest(std::string("encode --hex ") + c.message, plain.out);
                EXPECT_EQ(kt::hex(again.out), canonical);
            } else {
                EXPECT_EQ(plain.err.find(std::string("kest decode ") + c.message + ": " + c.result + " ("),
                          0u)
                    << plain.err;
                EXPECT_EQ(std::count(plain.err.begin(), plain.err.end(), '\n'), 1) << "one line";
            }
        }
    }
}

struct EncodeCase {
    const char *message, *json;
    int status;
    const char *says;  // the hex written, or the line on standard error after "kest encode MSG: "
};

const EncodeCase kEncodes[] = {
    {"srg_opaque", R"({"f1":0,"f3":""})", 0, "08001a00"},
    {"srg_opq_dhcpv4_msg", R"({"f22":18446744073709551615})", 0, "b001ffffffffffffffffff01"},
    {"srg_sync_msg", R"({"f18":true,"f15":[]})", 0, "900101"},
    {"srg_opaque", R"({"f99":1})", 1, "f99: no such member in srg_opaque (members: f1, f2, f3)"},
    {"srg_opaque", R"({"f1":-1})", 1, "f1: -1 is out of range for uint32 (0 to 4294967295)"},
    {"srg_opq_dhcpv4_msg", R"({"f22":18446744073709551616})", 1,
     "f22: 1.8446744073709552e+19 is out of range"},
    {"srg_sync_msg", R"({"f1":1.5,"f18":1})", 1, "f1: expected an integer (uint32), got 1.5"},
    {"srg_sync_msg", R"({"f15":[{"f1":1},2]})", 1, "f15[1]: expected a JSON object, got 2"},
    {"srg_opq_dhcpv6_msg", R"({"f14":[{"f9":"0x"}]})", 1, "f14[0].f9: invalid hex: 'x' at offset 1"},
    {"srg_opaque", R"({"f1":)", 1, "invalid JSON: "},
};

TEST(Tool, EncodeRefusesWhatDoesNotFit) {
    for (const EncodeCase &c : kEncodes) {
        SCOPED_TRACE(std::string(c.message) + ": " + c.json);
        const Outcome r = kest(std::string("encode --hex ") + c.message, c.json);
        EXPECT_EQ(r.status, c.status);
        if (c.status == 0) {
            EXPECT_EQ(r.out, std::string(c.says) + "\n");
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.find(std::string("kest encode ") + c.message + ": " + c.says), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line";
        }
    }
}

TEST(Tool, CommandLine) {
    const struct {
        const char *args, *input;
        int status;
        const char *says;  // found in standard output or standard error
    } cases[] = {
        {"decode --hex srg_opaque", "08 0g", 1, "kest decode srg_opaque: invalid hex: 'g' at offset 4\n"},
        {"decode srg_opaque /nonexistent/wire", "", 1, "cannot open /nonexistent/wire"},
        {"decode srg_nothing", "", 2, "srg_nothing not in"},
        {"decode --help", "", 0, "--partial"},
        {"list", "", 0, "srg_neg_msg         13 fields, 16-bit presence mask, owns no memory\n"},
        {"list srg_sync_msg", "", 0, "\n    15     2  repeated   12  f15, n_f15 (of srg_opaque)\n"},
        {"segments srg_sync_msg", R"({"f15":[{"f1":1},{"f3":"01"}],"f16":2})", 0,
         "srg_sync_msg, zero-copy: 6 segments, 11 buffer bytes, 12 wire bytes\n"
         "   #  wire offset  length  kind\n"
         "   0            0       2  buffer [0, 2)\n"
         "   1            2       2  buffer [2, 4)\n"
         "   2            4       2  buffer [4, 6)\n"
         "   3            6       2  buffer [6, 8)\n"
         "   4            8       1  payload f15[1].f3\n"
         "   5            9       3  buffer [8, 11)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = kest(c.args, c.input);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
}

}  // namespace
