// Hex text for byte strings in JSON and for wire bytes on the command line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kest::tool {

// Anything the user got wrong; main() prints it as one line and exits with 1.
struct input_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes 2 * n lowercase digits at `out`; returns the end.
inline char *put_hex(char *out, const uint8_t *p, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        *out++ = digits[p[i] >> 4];
        *out++ = digits[p[i] & 15];
    }
    return out;
}

inline std::string to_hex(const uint8_t *p, uint64_t n) {
    std::string s(2 * n, '\0');
    put_hex(s.data(), p, static_cast<size_t>(n));
    return s;
}

// Whitespace between digits is allowed only where the user asks for it (wire dumps).
inline std::vector<uint8_t> from_hex(std::string_view text, bool allow_space) {
    std::vector<uint8_t> out;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (allow_space && (c == ' ' || c == '\n' || c == '\t' || c == '\r'))
            continue;
        else
            throw input_error("invalid hex: '" + std::string(1, c) + "' at offset " + std::to_string(i));
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw input_error("invalid hex: odd number of digits");
    return out;
}

}  // namespace kest::tool
