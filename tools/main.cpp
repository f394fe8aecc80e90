// kest: encode, decode and inspect srg messages from the command line. The command
// line is parsed here, apart from the commands, so that the two compile side by side.
#include "commands.hpp"

#include <CLI/CLI.hpp>
#include <kest_version.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

// Which options go together is said in their descriptions: CLI11's "Excludes: --hex"
// beside the name would push the description out of its column.
struct formatter : CLI::Formatter {
    std::string make_option_opts(const CLI::Option *opt) const override {
        const std::string opts = CLI::Formatter::make_option_opts(opt);
        return opts.substr(0, std::min(opts.find(" " + get_label("Needs") + ":"),
                                       opts.find(" " + get_label("Excludes") + ":")));
    }
};

}  // namespace

int main(int argc, char **argv) {
    using namespace kest::tool;
    CLI::App app{"kest: encode, decode and inspect messages of the srg family", "kest"};
    app.formatter(std::make_shared<formatter>());
    app.get_formatter()->column_width(32);
    app.require_subcommand(1);
    app.set_version_flag("--version", "kest " KEST_VERSION_STRING);
    const std::vector<std::string> names = message_list();
    options o;

    auto add = [&](const char *name, const char *about) {
        CLI::App *cmd = app.add_subcommand(name, about);
        cmd->add_option("MSG", o.message, "message name (see: kest list)")
            ->required()
            ->check(CLI::IsMember(names));
        return cmd;
    };
    auto add_file = [&](CLI::App *cmd, const char *what) {
        cmd->add_option("FILE", o.file, std::string(what) + " (default: standard input)");
    };

    auto add_json = [&](CLI::App *cmd) {
        cmd->add_option_function<std::string>(
               "--json", [&](const std::string &style) { o.proto = style == "proto"; },
               "kest: integers as numbers, bytes as hex (default); proto: protobuf's JSON mapping, "
               "64-bit integers as strings, bytes as base64")
            ->check(CLI::IsMember({"kest", "proto"}));
    };
    auto add_stream = [&](CLI::App *cmd, CLI::Option *hex) {
        return cmd
            ->add_flag("--delimited", o.delimited, "a stream of records, each after its length as a varint; JSON "
                                                   "records one per line; not with --hex")
            ->excludes(hex);
    };

    CLI::App *decode = add("decode", "Wire bytes to JSON: present fields only, byte strings as hex");
    add_file(decode, "wire bytes");
    add_json(decode);
    CLI::Option *stream = add_stream(decode, decode->add_flag("--hex", o.hex, "the input is hex text, not binary"));
    // CLI11 would take -1 for 2^64 - 1, the opposite of what a negative length might mean.
    const CLI::Validator not_negative(
        [](std::string &s) { return s.starts_with('-') ? "a length cannot be negative: " + s : std::string(); }, "");
    decode->add_option("--max-length", o.max_length, "with --delimited, the longest record accepted (bytes)")
        ->capture_default_str()
        ->check(not_negative)
        ->needs(stream);
    decode->add_flag("--zero-copy", o.zero_copy, "decode by reference: payloads point into the input");
    decode->add_flag("--partial", o.partial, "on failure, also print the fields decoded before the fault");

    CLI::App *encode = add("encode", "JSON to wire bytes");
    add_file(encode, "JSON record");
    add_json(encode);
    add_stream(encode, encode->add_flag("--hex", o.hex, "write hex text instead of binary"));

    add_json(add("sample", "Print a sample record of the message as JSON"));
    CLI::App *segments = add("segments", "Encode JSON in zero-copy mode and show the segment layout");
    add_file(segments, "JSON record");
    add_json(segments);

    CLI::App *list = app.add_subcommand("list", "List the messages, or the fields of one");
    list->add_option("MSG", o.message, "message name")->check(CLI::IsMember(names));
    CLI::App *help = app.add_subcommand("help", "Print this help message and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (*help) {
        std::cout << app.get_formatter()->make_help(&app, "kest", CLI::AppFormatMode::Normal);
        return 0;
    }
    const std::string command = app.get_subcommands().front()->get_name();
    auto fail = [&](const std::string &why) {
        std::cerr << "kest " << command << (o.message.empty() ? "" : " ") << o.message << ": " << why << '\n';
        return 1;
    };
    int status;
    try {
        status = run(command, o);
    } catch (const input_error &e) {
        return fail(e.what());
    }
    // A full disk or a closed pipe must not pass for success.
    if (!std::cout.flush()) return fail(std::string("cannot write standard output: ") + std::strerror(errno));
    return status;
}
