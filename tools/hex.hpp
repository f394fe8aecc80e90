// Byte strings as text: hex for the tool's own JSON and for wire bytes on the command
// line, base64 for protobuf's JSON mapping.
#pragma once

#include <array>
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

// Decodes into `out`, which holds text.size() / 2 bytes; returns the bytes written.
// Whitespace between digits is allowed only where the user asks for it (wire dumps).
inline size_t hex_into(uint8_t *out, std::string_view text, bool allow_space) {
    static constexpr auto values = [] {  // 16: not a digit
        std::array<uint8_t, 256> v{};
        v.fill(16);
        for (int c = 0; c < 10; ++c) v['0' + c] = static_cast<uint8_t>(c);
        for (int c = 0; c < 6; ++c) v['a' + c] = v['A' + c] = static_cast<uint8_t>(10 + c);
        return v;
    }();
    size_t n = 0;
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const int v = values[static_cast<uint8_t>(c)];
        if (v == 16) {
            if (allow_space && (c == ' ' || c == '\n' || c == '\t' || c == '\r')) continue;
            throw input_error("invalid hex: '" + std::string(1, c) + "' at offset " + std::to_string(i));
        }
        if (high < 0) {
            high = v;
        } else {
            out[n++] = static_cast<uint8_t>(high << 4 | v);
            high = -1;
        }
    }
    if (high >= 0) throw input_error("invalid hex: odd number of digits");
    return n;
}

inline std::vector<uint8_t> from_hex(std::string_view text, bool allow_space) {
    std::vector<uint8_t> out(text.size() / 2);
    out.resize(hex_into(out.data(), text, allow_space));
    return out;
}

// Standard alphabet with padding, as protobuf writes bytes; returns the end.
inline char *put_base64(char *out, const uint8_t *p, size_t n) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (; n >= 3; p += 3, n -= 3) {
        const uint32_t v = uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2];
        for (int shift : {18, 12, 6, 0}) *out++ = digits[v >> shift & 63];
    }
    if (n) {
        const uint32_t v = uint32_t{p[0]} << 16 | (n > 1 ? uint32_t{p[1]} << 8 : 0);
        *out++ = digits[v >> 18];
        *out++ = digits[v >> 12 & 63];
        *out++ = n > 1 ? digits[v >> 6 & 63] : '=';
        *out++ = '=';
    }
    return out;
}

constexpr size_t base64_bound(size_t text) { return text / 4 * 3 + 2; }

// Either alphabet, padding optional, as protobuf's JSON parser reads bytes. `out`
// holds base64_bound(text.size()) bytes; returns the bytes written.
inline size_t base64_into(uint8_t *out, std::string_view text) {
    size_t end = text.size();
    while (end && text[end - 1] == '=' && text.size() - end < 2) --end;
    if (end % 4 == 1 || (end < text.size() && text.size() % 4))
        throw input_error("invalid base64: wrong length or padding");
    static constexpr auto values = [] {  // 64: not a digit
        std::array<uint8_t, 256> v{};
        v.fill(64);
        for (int c = 0; c < 26; ++c) v['A' + c] = static_cast<uint8_t>(c), v['a' + c] = static_cast<uint8_t>(26 + c);
        for (int c = 0; c < 10; ++c) v['0' + c] = static_cast<uint8_t>(52 + c);
        v['+'] = v['-'] = 62;
        v['/'] = v['_'] = 63;
        return v;
    }();
    size_t n = 0;
    uint32_t v = 0;
    for (size_t i = 0; i < end; ++i) {
        const uint8_t d = values[static_cast<uint8_t>(text[i])];
        if (d == 64) throw input_error("invalid base64: '" + std::string(1, text[i]) + "' at offset " + std::to_string(i));
        v = v << 6 | d;
        if (i % 4 == 3) {
            out[n++] = static_cast<uint8_t>(v >> 16);
            out[n++] = static_cast<uint8_t>(v >> 8);
            out[n++] = static_cast<uint8_t>(v);
        }
    }
    if (end % 4 >= 2) out[n++] = static_cast<uint8_t>(v >> (end % 4 == 2 ? 4 : 10));
    if (end % 4 == 3) out[n++] = static_cast<uint8_t>(v >> 2);
    return n;
}

}  // namespace kest::tool
