// Records to JSON and back, walked over the same field lists as the codecs: present
// fields only, named by their members, integers exact, byte strings as hex, runs as
// arrays of objects.
#pragma once

#include "hex.hpp"
#include "messages.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>

namespace kest::tool {

using json = nlohmann::ordered_json;  // members stay in record order

// Text and values as error messages show them: long ones cut, containers by kind.
inline std::string cut(std::string s) { return s.size() <= 200 ? s : s.substr(0, 197) + "..."; }
inline std::string quote(const json &v) {
    return v.is_object() ? "an object" : v.is_array() ? "an array" : cut(v.dump());
}

// Writes hex as it goes, in chunks: a 50 MB payload is 100 MB of text.
inline void write_hex(std::ostream &out, const uint8_t *p, uint64_t n) {
    char chunk[1 << 14];
    while (n) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, sizeof chunk / 2));
        out.write(chunk, put_hex(chunk, p, k) - chunk);
        p += k;
        n -= k;
    }
}

// A record as JSON, in the layout of json::dump(2), written as the record is walked
// rather than built first as a json value, which would hold the payloads' hex twice more.
template <class R>
void write_json(std::ostream &out, const R &m, size_t depth = 0) {
    const std::string pad(2 * depth + 2, ' ');
    bool first = true;
    core::for_each_field<R>([&]<class F, size_t I>() {
        if (!(m.present & core::bit<R, I>)) return;
        out << (first ? "{\n" : ",\n") << pad << '"' << member_name<F>() << "\": ";
        first = false;
        constexpr std::string_view kind = kind_of<F>;
        const auto &value = m.*F::member;
        if constexpr (kind == "bytes") {
            out << '"';
            write_hex(out, value, m.*F::length);
            out << '"';
        } else if constexpr (kind == "repeated") {
            for (uint32_t k = 0; k < m.*F::count; ++k) {
                out << (k ? ",\n" : "[\n") << pad << "  ";
                write_json(out, value[k], depth + 2);
            }
            out << (m.*F::count ? "\n" + pad + "]" : "[]");
        } else if constexpr (kind == "bool") {
            out << (value ? "true" : "false");
        } else {
            out << value;
        }
    });
    out << (first ? "{}" : "\n" + std::string(2 * depth, ' ') + "}");
}

namespace detail {

template <class T>
T integer(const json &v, const std::string &path, std::string_view kind) {
    constexpr uint64_t max = std::numeric_limits<T>::max();
    auto out_of_range = [&] {
        return input_error(path + ": " + quote(v) + " is out of range for " + std::string(kind) + " (0 to " +
                           std::to_string(max) + ")");
    };
    if (v.is_number_unsigned()) {
        const auto x = v.get<uint64_t>();
        if (x > max) throw out_of_range();
        return static_cast<T>(x);
    }
    // A quoted decimal, as protobuf's JSON mapping writes 64-bit values: exact, where
    // many JSON tools round a number above 2^53.
    if (v.is_string()) {
        const auto &text = v.get_ref<const std::string &>();
        uint64_t x = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), x);
        if (!text.empty() && end == text.data() + text.size()) {
            if (ec == std::errc::result_out_of_range || x > max) throw out_of_range();
            return static_cast<T>(x);
        }
    }
    if (v.is_number_integer() && v.get<int64_t>() == 0) return 0;  // -0
    if (v.is_number_integer()) throw out_of_range();  // negative
    // Integers too large for 64 bits arrive as floating point.
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isfinite(d) && d == std::floor(d) &&
            (d < 0 || d >= std::ldexp(1.0, std::numeric_limits<T>::digits)))
            throw out_of_range();
    }
    throw input_error(path + ": expected an integer (" + std::string(kind) + "), got " + quote(v));
}

inline void *take(const allocator &a, uint64_t n, const std::string &path) {
    void *p = a.alloc(n, a.ctx);
    if (!p) throw input_error(path + ": out of memory");
    return p;
}

}  // namespace detail

// Fills `m`, which must be empty, from a JSON object. Payloads and arrays come from
// `a` and are attached as soon as they exist, so a record owning `m` releases them
// even when a later member is refused.
template <class R>
void from_json(const json &j, R &m, const allocator &a, const std::string &path = "") {
    if (!j.is_object()) {
        const std::string where = path.empty() ? "" : path.substr(0, path.size() - 1) + ": ";
        throw input_error(where + "expected a JSON object, got " + quote(j));
    }
    for (auto item = j.begin(); item != j.end(); ++item) {
        const std::string &key = item.key();  // not a structured binding: lambdas capture these
        const json &value = item.value();
        bool known = false;
        core::for_each_field<R>([&]<class F, size_t I>() {
            if (known || key != member_name<F>()) return;
            known = true;
            const std::string where = path + key;
            constexpr std::string_view kind = kind_of<F>;
            auto &member = m.*F::member;
            if constexpr (kind == "bytes") {
                if (!value.is_string())
                    throw input_error(where + ": expected a hex string, got " + quote(value));
                std::vector<uint8_t> bytes;
                try {
                    bytes = from_hex(value.template get<std::string>(), false);
                } catch (const input_error &e) {
                    throw input_error(where + ": " + e.what());
                }
                if (!bytes.empty()) {
                    auto *p = static_cast<uint8_t *>(detail::take(a, bytes.size(), where));
                    std::memcpy(p, bytes.data(), bytes.size());
                    member = p;
                    m.*F::length = bytes.size();
                }
            } else if constexpr (kind == "repeated") {
                using E = typename F::element;
                if (!value.is_array())
                    throw input_error(where + ": expected an array of objects, got " + quote(value));
                const auto count = static_cast<uint32_t>(value.size());
                if (count) {
                    auto *array = static_cast<E *>(detail::take(a, uint64_t{count} * sizeof(E), where));
                    std::memset(static_cast<void *>(array), 0, count * sizeof(E));
                    member = array;
                    m.*F::count = count;
                    for (uint32_t k = 0; k < count; ++k)
                        from_json(value[k], array[k], a, where + "[" + std::to_string(k) + "].");
                }
            } else if constexpr (kind == "bool") {
                if (!value.is_boolean())
                    throw input_error(where + ": expected true or false, got " + quote(value));
                member = value.template get<bool>();
            } else {
                member = detail::integer<std::remove_reference_t<decltype(member)>>(value, where, kind);
            }
            m.present |= core::bit<R, I>;
        });
        if (!known) {
            std::string members;
            core::for_each_field<R>(
                [&]<class F, size_t>() { members += (members.empty() ? "" : ", ") + member_name<F>(); });
            throw input_error(path + cut(key) + ": no such member in " + std::string(name_of<R>) +
                              " (members: " + members + ")");
        }
    }
}

}  // namespace kest::tool
