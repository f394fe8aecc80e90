// The kest tool run as a user runs it: files, exit status, standard output and error.
#include "kit.hpp"
#include "tools/samples.hpp"

#include <gtest/gtest.h>
#include <kest_version.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

struct Outcome { int status; std::string out, err; };

// A directory of this process's own: the tests may run side by side.
const fs::path dir = fs::path(testing::TempDir()) / ("kest-tool-" + std::to_string(getpid()));

Outcome kest(const std::string &args, const std::string &input = "") {
    fs::create_directories(dir);
    auto slurp = [&](const char *name) {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::ofstream(dir / "in", std::ios::binary) << input;
    // Redirections first, so that `args` may redirect again.
    const std::string io = " <" + (dir / "in").string() + " >" + (dir / "out").string() + " 2>" + (dir / "err").string();
    const int rc = std::system((KEST_TOOL + io + " " + args).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp("out"), slurp("err")};
}

// Every sample through encode and each way of decoding, in both JSON styles, and as a stream.
TEST(Tool, EverySampleRoundTrips) {
    kest::for_each_message([]<class R>() {
        const std::string m(kest::name_of<R>);
        for (const std::string style : {"", " --json=proto"}) {
            const std::string sample = kest("sample" + style + " " + m).out;
            size_t members = 0;
            for (size_t at = 0; (at = sample.find("\n  \"", at)) != std::string::npos; ++at) ++members;
            EXPECT_EQ(members, kest::core::fields_of<R>::size) << m;
            const Outcome wire = kest("encode" + style + " " + m, sample);
            EXPECT_EQ(wire.out, kest("encode " + m, kest("sample " + m).out).out) << m << style;
            const fs::path file = dir / "wire.bin";
            std::ofstream(file, std::ios::binary) << wire.out;
            for (const std::string &args : {"decode" + style + " " + m, "decode --zero-copy" + style + " " + m,
                                            "decode" + style + " " + m + " " + file.string()})
                EXPECT_EQ(kest(args, wire.out).out, sample) << args;
            const Outcome stream = kest("encode --delimited" + style + " " + m, sample + sample + "\n" + sample);
            std::string lines = kest("decode --delimited" + style + " " + m, stream.out).out;
            EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3) << lines;
            EXPECT_EQ(kest("encode --delimited" + style + " " + m, lines).out, stream.out) << m << style;
        }
    });
}

// A failure (status 1) is one short line on standard error, and no output unless partial.
TEST(Tool, Commands) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']'), x(5000, 'x');
    const struct { std::string args, input; int status; std::string says; } cases[] = {
        {"--version", "", 0, "kest " KEST_VERSION_STRING "\n"}, {"help", "", 0, "Usage: kest [OPTIONS] SUBCOMMAND"},
        {"", "", 2, "A subcommand is required"},
        {"sample srg_opaque >/dev/full", "", 1, "kest sample srg_opaque: cannot write standard output: No space left"},
        {"decode srg_opaque /", "", 1, "kest decode srg_opaque: cannot read /: Is a directory\n"},
        {"decode srg_opaque", "", 0, "{}"}, {"encode srg_sync_msg", "{\"f15\":" + deep, 1, "f15[0]: expected a JSON object, got an array\n"},
        {"encode --hex srg_opaque", R"({"f1": -0})", 0, "0800\n"},
        {"encode --hex srg_opq_dhcpv6_msg", R"({"f5":"18446744073709551615"})", 0, "28ffffffffffffffffff01\n"},
        {"encode srg_opaque", R"({"f1":"4294967296"})", 1, "f1: \"4294967296\" is out of range for uint32"},
        {"encode srg_opaque", R"({"f1":"12a"})", 1, "f1: expected an integer (uint32), got \"12a\"\n"},
        {"encode srg_opaque", R"({"f1":1,"f1":2})", 1, "srg_opaque: duplicate key \"f1\"\n"},
        {"encode srg_opaque", "{\"f1\": \"" + x + "\"}", 1, "got \"" + x.substr(0, 196) + "...\n"},
        {"encode srg_opaque", "{\"" + x + "\": 1}", 1, x.substr(0, 197) + "...: no such member"},
        {"encode srg_opaque", R"({"f3": [1]})", 1, "f3: expected a hex string, got an array\n"},
        {"decode --hex srg_opaque", "08 01 1A 03 AA BB CC", 0, "{\n  \"f1\": 1,\n  \"f3\": \"aabbcc\"\n}\n"},
        {"decode --hex srg_opq_dhcpv6_msg", "28 81 80 80 80 80 80 80 10 72 02 08 2A", 0, "9007199254740993"},
        {"decode --hex srg_opaque", "08 07 10 09 1A 05 AA", 1, "kest decode srg_opaque: KEST_ERR_MALFORMED (-1): "},
        {"decode --hex --partial srg_sync_msg", "08 01 32 02 AB CD 7A 02 0D 00", 1, "\"f6\": \"abcd\"\n}"},
        {"decode --hex srg_opaque", "08 0g", 1, "kest decode srg_opaque: invalid hex: 'g' at offset 4\n"},
        {"decode srg_opaque /nonexistent/wire", "", 1, "cannot open /nonexistent/wire"},
        {"decode srg_nothing", "", 2, "srg_nothing not in"},
        {"encode --hex srg_opq_dhcpv6_msg", R"({"f5":18446744073709551615})", 0, "28ffffffffffffffffff01\n"},
        {"encode --hex srg_sync_msg", R"({"f18":true,"f15":[]})", 0, "900101\n"},
        {"encode srg_opaque", R"({"f99":1})", 1, "f99: no such member in srg_opaque (members: f1, f2, f3)"},
        {"encode srg_opaque", R"({"f1":-1})", 1, "f1: -1 is out of range for uint32 (0 to 4294967295)"},
        {"encode srg_sync_msg", R"({"f1":1.5})", 1, "f1: expected an integer (uint32), got 1.5"},
        {"encode srg_sync_msg", R"({"f15":[{"f1":1},2]})", 1, "f15[1]: expected a JSON object, got 2"},
        {"encode srg_opq_dhcpv6_msg", R"({"f14":[{"f9":"0x"}]})", 1, "f14[0].f9: invalid hex: 'x' at offset 1"},
        {"encode srg_opaque", R"({"f1":)", 1, "kest encode srg_opaque: invalid JSON: "},
        {"decode --json=proto --hex srg_opq_dhcpv6_msg", "28 81 80 80 80 80 80 80 10 3A 03 AA BB CC", 0,
         "{\n  \"f5\": \"9007199254740993\",\n  \"f7\": \"qrvM\"\n}\n"},
        {"encode --hex --json=proto srg_opaque", R"({"f3":"_-8", "f1": null, "\u0066\u0032": "7"})", 0, "10071a02ffef\n"},
        {"encode --json=proto srg_opaque", R"({"f3":"qrvMq"})", 1, "f3: invalid base64: wrong length or padding"},
        {"encode --json=proto srg_opaque", R"({"f3":"qr.="})", 1, "f3: invalid base64: '.' at offset 2"},
        {"encode srg_opaque", R"({"f1":1} x)", 1, "invalid JSON: text after the record at line 1, column 10\n"},
        {"encode srg_opaque", "{\"f1\":01}", 1, "invalid JSON: expected a value at line 1, column 7\n"},
        {"encode --delimited --hex srg_opaque", "", 2, "excludes"},
        {"decode --delimited srg_opaque", std::string("\x02\x08\x01\x03\x08", 5), 1,
         "{\"f1\":1}\nkest decode srg_opaque: record 1 at byte 3: the stream ends inside it"},
        {"decode --delimited --max-length 2 srg_opaque", "\x03\x08\x01\x10", 1, "record 0 at byte 0: longer than --max-length 2"},
        {"decode --delimited srg_opaque", "\x02\x08\x01\x02\x08\x80", 1, "srg_opaque: record 1 at byte 3: KEST_ERR_MALFORMED (-1): "},
        {"encode --delimited srg_opaque", "{}\n{\"f1\": 1e30}", 1, "record 1 at byte 3: f1: 1e30 is out of range for uint32"},
        {"encode --delimited srg_opaque", " \n", 0, ""}, {"decode --help", "", 0, "\n  --hex                         the input is hex"},
        {"decode --delimited --max-length=-1 srg_opaque", "", 2, "a length cannot be negative: -1"},
        {"decode --max-length 5 srg_opaque", "", 2, "--max-length requires --delimited"},
        {"encode --hex srg_opq_dhcpv6_msg", R"({"f1":1.0,"f2":1e3,"f3":"\u0031","f4":"+2","f5":1.8446744073709550e19})", 0,
         "080110e807180120022880f0ffffffffffffff01\n"},
        {"list", "", 0, "srg_neg_msg         13 fields, 16-bit presence mask, owns no memory\n"},
        {"list srg_sync_msg", "", 0, "\n    15     2  repeated   12  f15, n_f15 (of srg_opaque)\n"},
        {"segments srg_opaque", R"({"f1":1})", 0, "srg_opaque, zero-copy: 1 segment, 2 buffer bytes"},
        {"segments srg_sync_msg", R"({"f15":[{"f1":1},{"f3":"01"}],"f16":2})", 0,
         "3 segments, 11 buffer bytes, 12 wire bytes\n   #  wire offset  length  kind\n   0            0       8  buffer [0, 8)\n"
         "   1            8       1  payload f15[1].f3\n   2            9       3  buffer [8, 11)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.substr(0, 80));
        const Outcome r = kest(c.args, c.input);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        if (r.status == 1) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_LT(r.err.size(), 300u);
            EXPECT_TRUE(r.out.empty() || c.args.find("--partial") != std::string::npos ||
                        c.args.find("--delimited") != std::string::npos);
        }
    }
}

}  // namespace
