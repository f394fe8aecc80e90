// kest: encode, decode and inspect srg messages from the command line. The command
// line is parsed here, apart from the commands, so that the two compile side by side.
#include "commands.hpp"

#include <CLI/CLI.hpp>
#include <kest_version.h>

#include <cerrno>
#include <cstring>
#include <iostream>

int main(int argc, char **argv) {
    using namespace kest::tool;
    CLI::App app{"kest: encode, decode and inspect messages of the srg family", "kest"};
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

    CLI::App *decode = add("decode", "Wire bytes to JSON: present fields only, byte strings as hex");
    add_file(decode, "wire bytes");
    decode->add_flag("--hex", o.hex, "the input is hex text, not binary");
    decode->add_flag("--zero-copy", o.zero_copy, "decode by reference: payloads point into the input");
    decode->add_flag("--partial", o.partial, "on failure, also print the fields decoded before the fault");

    CLI::App *encode = add("encode", "JSON to wire bytes");
    add_file(encode, "JSON record");
    encode->add_flag("--hex", o.hex, "write hex text instead of binary");

    add("sample", "Print a sample record of the message as JSON");
    CLI::App *segments = add("segments", "Encode JSON in zero-copy mode and show the segment layout");
    add_file(segments, "JSON record");

    CLI::App *list = app.add_subcommand("list", "List the messages, or the fields of one");
    list->add_option("MSG", o.message, "message name")->check(CLI::IsMember(names));
    app.add_subcommand("bits", "Print kest_bits.h: each field's presence bit by name, for C");
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
