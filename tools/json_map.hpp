// Records to JSON and back, walked over the same field lists as the codecs: present
// fields only, named by their members, runs as arrays of objects. Two styles: the
// tool's own (integers as numbers, byte strings as hex) and protobuf's JSON mapping
// (64-bit integers as strings, byte strings as base64).
#pragma once

#include "hex.hpp"
#include "messages.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>

namespace kest::tool {

enum class json_style { kest, proto };

// Values as error messages quote them: long ones cut.
inline std::string cut(std::string_view s) {
    return s.size() <= 200 ? std::string(s) : std::string(s.substr(0, 197)) + "...";
}

// Byte strings are written as they go, in chunks: a 50 MB payload is 100 MB of text.
inline void write_bytes(std::ostream &out, const uint8_t *p, uint64_t n, json_style style) {
    char chunk[1 << 14];
    const size_t step = style == json_style::proto ? 3 * 1024 : sizeof chunk / 2;
    out << '"';
    while (n) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, step));
        char *end = style == json_style::proto ? put_base64(chunk, p, k) : put_hex(chunk, p, k);
        out.write(chunk, end - chunk);
        p += k;
        n -= k;
    }
    out << '"';
}

// How records are written: protobuf's mapping or the tool's own, over lines indented by
// two spaces per level or on one line (one record per line in a stream).
struct json_format {
    json_style style = json_style::kest;
    bool one_line = false;
};

// A record as JSON, written as the record is walked rather than built first as a
// document, which would hold the payloads twice.
template <class R>
void write_json(std::ostream &out, const R &m, json_format f = {}, size_t depth = 0) {
    auto line = [&](size_t d) { return f.one_line ? std::string() : "\n" + std::string(2 * d, ' '); };
    const std::string inner = line(depth + 1), colon = f.one_line ? "\":" : "\": ";
    bool first = true;
    core::for_each_field<R>([&]<class F, size_t I>() {
        if (!(m.present & core::bit<R, I>)) return;
        out << (first ? "{" : ",") << inner << '"' << member_name<F>() << colon;
        first = false;
        constexpr core::kind kind = kind_of<F>;
        const auto &value = m.*F::member;
        if constexpr (kind == core::kind::bytes) {
            write_bytes(out, value, m.*F::length, f.style);
        } else if constexpr (kind == core::kind::message) {
            for (uint32_t k = 0; k < m.*F::count; ++k) {
                out << (k ? "," : "[") << line(depth + 2);
                write_json(out, value[k], f, depth + 2);
            }
            out << (m.*F::count ? inner + "]" : "[]");
        } else if constexpr (kind == core::kind::boolean) {
            out << (value ? "true" : "false");
        } else if constexpr (kind == core::kind::uint64) {
            // Exact in every JSON reader, where many round a number above 2^53.
            if (f.style == json_style::proto)
                out << '"' << value << '"';
            else
                out << value;
        } else {
            out << value;
        }
    });
    out << (first ? "{}" : line(depth) + "}");
}

inline void *take_memory(const allocator &a, uint64_t n, const std::string &path) {
    void *p = a.alloc(n, a.ctx);
    if (!p) throw input_error(path + ": out of memory");
    return p;
}

// Reads records straight from JSON text: a general document reader held a 50 MB
// payload's text three times over and took seconds to scan it; here a byte string is
// decoded from the input into its payload. Records nest only as their field lists
// do, so deep input is refused by type before it can exhaust the stack.
class json_reader {
  public:
    json_reader(std::string_view text, json_style style) noexcept : s_(text), style_(style) {}

    // True when only whitespace is left.
    bool done() {
        space();
        return p_ == s_.size();
    }
    void finish() {
        if (!done()) syntax("text after the record");
    }
    // Where the next value starts, in bytes of the text.
    size_t offset() const noexcept { return p_; }

    // Fills `m`, which must be empty. Payloads and arrays come from `a` and are attached
    // as soon as they exist, so a record owning `m` releases them whatever is refused.
    template <class R>
    void read(R &m, const allocator &a, const std::string &path = "") {
        if (peek() != '{') refuse(path, "expected a JSON object", value());
        ++p_;
        uint64_t seen = 0;  // null leaves a member absent yet given
        if (take('}')) return;
        do {
            if (peek() != '"') syntax("expected a member name");
            const std::string key = text(string());
            if (!take(':')) syntax("expected ':'");
            bool known = false;
            core::for_each_field<R>([&]<class F, size_t I>() {
                if (known || key != member_name<F>()) return;
                known = true;
                if (seen & uint64_t{core::bit<R, I>})
                    throw input_error(where(path) + "duplicate key \"" + cut(key) + "\"");
                seen |= core::bit<R, I>;
                if (peek() == 'n' && s_.substr(p_, 4) == "null") return void(p_ += 4);
                member<F>(m, a, path + key);
                m.present |= core::bit<R, I>;
            });
            if (!known) {
                std::string members;
                core::for_each_field<R>(
                    [&]<class F, size_t>() { members += (members.empty() ? "" : ", ") + member_name<F>(); });
                throw input_error(path + cut(key) + ": no such member in " + std::string(name_of<R>) +
                                  " (members: " + members + ")");
            }
        } while (take(','));
        if (!take('}')) syntax("expected ',' or '}'");
    }

  private:
    template <class F, class R>
    void member(R &m, const allocator &a, const std::string &path) {
        constexpr core::kind kind = kind_of<F>;
        auto &v = m.*F::member;
        if constexpr (kind == core::kind::bytes) {
            const bool proto = style_ == json_style::proto;
            if (peek() != '"') refuse(path, proto ? "expected a base64 string" : "expected a hex string", value());
            const std::string_view raw = string();
            const std::string unescaped = escaped_ ? text(raw) : std::string();
            const std::string_view digits = escaped_ ? std::string_view(unescaped) : raw;
            if (digits.empty()) return;
            auto *p = static_cast<uint8_t *>(take_memory(a, proto ? base64_bound(digits.size()) : digits.size() / 2, path));
            v = p;  // attached first: a refusal below still releases it
            try {
                m.*F::length = proto ? base64_into(p, digits) : hex_into(p, digits, false);
            } catch (const input_error &e) {
                throw input_error(path + ": " + e.what());
            }
        } else if constexpr (kind == core::kind::message) {
            using E = typename F::element;
            if (peek() != '[') refuse(path, "expected an array of objects", value());
            ++p_;
            if (take(']')) return;
            uint32_t room = 0;
            do {
                if (m.*F::count == room) {  // grows by doubling, the record owning every block
                    room = room ? 2 * room : 4;
                    auto *grown = static_cast<E *>(take_memory(a, uint64_t{room} * sizeof(E), path));
                    std::memset(static_cast<void *>(grown), 0, room * sizeof(E));
                    if (v) std::memcpy(static_cast<void *>(grown), v, m.*F::count * sizeof(E));
                    if (v) a.release(v, a.ctx);
                    v = grown;
                }
                const uint32_t k = (m.*F::count)++;
                read(v[k], a, path + "[" + std::to_string(k) + "].");
            } while (take(','));
            if (!take(']')) syntax("expected ',' or ']'");
        } else if constexpr (kind == core::kind::boolean) {
            if (s_.substr(p_, 4) == "true") return void((p_ += 4, v = true));
            if (s_.substr(p_, 5) == "false") return void((p_ += 5, v = false));
            refuse(path, "expected true or false", value());
        } else {
            v = integer<std::remove_reference_t<decltype(v)>>(path, core::proto_type_name(kind));
        }
    }

    // A number, or a quoted decimal as protobuf's mapping writes 64-bit values, read as
    // protobuf's JSON parser reads them: a number with a fraction or an exponent through a
    // double, taken when that is a whole number (1.0, 1e3); a quoted one in decimal digits
    // alone, escaped or not, after an optional '+'.
    template <class T>
    T integer(const std::string &path, std::string_view kind) {
        const std::string_view token = value();
        const bool quoted = token.starts_with('"');
        const std::string unescaped = quoted && escaped_ ? text(token.substr(1, token.size() - 2)) : std::string();
        std::string_view digits = !quoted ? token : escaped_ ? std::string_view(unescaped) : token.substr(1, token.size() - 2);
        auto out_of_range = [&] {
            return input_error(path + ": " + cut(token) + " is out of range for " + std::string(kind) + " (0 to " +
                               std::to_string(std::numeric_limits<T>::max()) + ")");
        };
        if (!quoted && digits.find_first_of(".eE") != std::string_view::npos) {
            const double d = std::strtod(std::string(digits).c_str(), nullptr);  // the tool keeps the C locale
            if (d != std::floor(d)) refuse(path, "expected an integer (" + std::string(kind) + ")", token);
            if (d < 0 || !(d < std::ldexp(1.0, std::numeric_limits<T>::digits))) throw out_of_range();
            return static_cast<T>(d);  // -0.0 too
        }
        if (quoted && digits.size() > 1 && digits[0] == '+' && digits[1] >= '0' && digits[1] <= '9')
            digits.remove_prefix(1);
        const bool negative = digits.starts_with('-');
        if (negative) digits.remove_prefix(1);
        uint64_t x = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), x);
        if (digits.empty() || end != digits.data() + digits.size())
            refuse(path, "expected an integer (" + std::string(kind) + ")", token);
        if (negative && x == 0 && ec == std::errc()) return 0;  // -0
        if (negative || ec == std::errc::result_out_of_range || x > std::numeric_limits<T>::max()) throw out_of_range();
        return static_cast<T>(x);
    }

    static std::string where(const std::string &path) {
        return path.empty() ? "" : path.substr(0, path.size() - 1) + ": ";
    }

    [[noreturn]] void refuse(const std::string &path, const std::string &expected, std::string_view got) {
        const std::string shown = got.starts_with('{') ? "an object" : got.starts_with('[') ? "an array" : cut(got);
        throw input_error((path.ends_with('.') ? where(path) : path.empty() ? "" : path + ": ") + expected +
                          ", got " + shown);
    }

    [[noreturn]] void syntax(const std::string &what) const {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < p_ && i < s_.size(); ++i) s_[i] == '\n' ? (++line, column = 1) : ++column;
        throw input_error("invalid JSON: " + what + " at line " + std::to_string(line) + ", column " +
                          std::to_string(column));
    }

    void space() {
        while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\n' || s_[p_] == '\t' || s_[p_] == '\r')) ++p_;
    }
    char peek() {
        space();
        return p_ < s_.size() ? s_[p_] : '\0';
    }
    bool take(char c) {
        if (peek() != c) return false;
        ++p_;
        return true;
    }

    // The string at p_, quotes included in what is consumed but not in what is returned.
    std::string_view string() {
        const size_t start = ++p_;
        escaped_ = false;
        for (;;) {
            const auto *q = static_cast<const char *>(std::memchr(s_.data() + p_, '"', s_.size() - p_));
            if (!q) syntax("unterminated string");
            const auto *slash = static_cast<const char *>(std::memchr(s_.data() + p_, '\\', q - s_.data() - p_));
            if (!slash) {
                p_ = static_cast<size_t>(q - s_.data());
                break;
            }
            escaped_ = true;
            p_ = static_cast<size_t>(slash - s_.data()) + 2;  // past the escaped character
            if (p_ > s_.size()) syntax("unterminated string");
        }
        return s_.substr(start, p_++ - start);
    }

    // A scalar as written, for quoting and for numbers; objects and arrays only by kind.
    std::string_view value() {
        const char c = peek();
        const size_t start = p_;
        if (c == '"') {
            string();
        } else if (c == '{' || c == '[') {
            return s_.substr(p_, 1);
        } else {
            while (p_ < s_.size() && std::strchr("+-.0123456789eEtruefalsn", s_[p_])) ++p_;
            const std::string_view t = s_.substr(start, p_ - start);
            if (!(t == "true" || t == "false" || t == "null" || number(t))) p_ = start, syntax("expected a value");
        }
        return s_.substr(start, p_ - start);
    }

    static bool number(std::string_view t) {
        size_t i = t.starts_with('-');
        auto digits = [&] {
            const size_t from = i;
            while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
            return i > from;
        };
        if (i < t.size() && t[i] == '0' && i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9') return false;
        if (!digits()) return false;
        if (i < t.size() && t[i] == '.' && (++i, !digits())) return false;
        if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
            ++i;
            if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
            if (!digits()) return false;
        }
        return i == t.size();
    }

    // The text of a string's contents, escapes resolved.
    std::string text(std::string_view raw) const {
        if (raw.find('\\') == std::string_view::npos) return std::string(raw);
        std::string out;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\') {
                out += raw[i];
                continue;
            }
            const char e = ++i < raw.size() ? raw[i] : '\0';
            static constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
            if (const size_t k = from.find(e); e && k != std::string_view::npos) {
                out += to[k];
                continue;
            }
            uint32_t cp = 0;
            if (e != 'u' || !hex4(raw, i + 1, cp)) syntax("invalid escape in a string");
            i += 4;
            uint32_t low = 0;
            if (cp >= 0xD800 && cp < 0xDC00 && raw.substr(i + 1, 2) == "\\u" && hex4(raw, i + 3, low) &&
                low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
            static constexpr uint8_t lead[] = {0, 0xC0, 0xE0, 0xF0};
            const int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
            out += static_cast<char>(lead[extra] | cp >> (6 * extra));
            for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | (cp >> (6 * k) & 63));
        }
        return out;
    }

    static bool hex4(std::string_view raw, size_t at, uint32_t &cp) {
        if (at + 4 > raw.size()) return false;
        const char *end = raw.data() + at + 4;
        return std::from_chars(raw.data() + at, end, cp, 16).ptr == end;
    }

    std::string_view s_;
    size_t p_ = 0;
    json_style style_;
    bool escaped_ = false;  // whether the last string read had escapes
};

}  // namespace kest::tool
