// What the command line hands to the commands.
#pragma once

#include "hex.hpp"  // input_error: bad input, exit status 1

#include <string>
#include <string_view>
#include <vector>

namespace kest::tool {

struct options {
    std::string message;
    std::string file;  // empty or "-": standard input
    bool hex = false;
    bool zero_copy = false;
    bool partial = false;
    bool proto = false;      // protobuf's JSON mapping
    bool delimited = false;  // a stream of records, each after its length
    uint64_t max_length = uint64_t{1} << 28;
};

// Runs decode, encode, sample, segments or list; returns the exit status.
int run(std::string_view command, const options &o);
std::vector<std::string> message_list();

}  // namespace kest::tool
