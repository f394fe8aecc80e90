// Writes the checked-in seed corpora and dictionaries under the given fuzz/ directory
// and prints each message's fully populated encoding as hex. Seeds are real
// encodings, so rerun this when a message's fields change:
//   kest_fuzz_seedgen <repo>/fuzz
#include "record_walk.hpp"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace kt::generic;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Storage for the payloads and element arrays of the records built here.
std::vector<std::shared_ptr<void>> keep;

// Every field present, values of every varint width, payloads, two elements per run.
template <class R>
R full_record(uint32_t elements) {
    R r{};
    kc::for_each_field<R>([&]<class F, size_t I>() {
        constexpr auto m = F::member;
        constexpr uint32_t n = F::tag::number;
        using V = std::remove_cvref_t<decltype(r.*m)>;
        if constexpr (is_bytes<F>) {
            auto *p = new uint8_t[3]{static_cast<uint8_t>(n), 0xB0, static_cast<uint8_t>(0xC0 + I)};
            keep.emplace_back(p, [](void *q) { delete[] static_cast<uint8_t *>(q); });
            r.*m = p;
            r.*size_member<F>::value = 3;
        } else if constexpr (is_run<F>) {
            using E = typename F::E;
            auto *array = new E[elements];
            keep.emplace_back(array, [](void *q) { delete[] static_cast<E *>(q); });
            for (uint32_t i = 0; i < elements; ++i) array[i] = full_record<E>(2);
            r.*m = array;
            r.*size_member<F>::value = elements;
        } else if constexpr (std::is_same_v<V, bool>) {
            r.*m = true;
        } else if constexpr (std::is_same_v<typename F::kind, kc::fixed32_kind>) {
            r.*m = 0x01020304u * n;
        } else {
            r.*m = static_cast<V>((V{1} << (n * 7 % (sizeof(V) * 8))) + n);  // 1 to 10 bytes
        }
    });
    r.present = kc::field_mask<R>;
    return r;
}

template <class R>
Bytes encode(const R &r) {
    return kest::encode(r);
}

void write(const fs::path &path, const Bytes &b) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(b.data()),
                                                static_cast<std::streamsize>(b.size()));
}

std::string escaped(uint32_t tag) {
    std::string s;
    char byte[8];
    do {
        std::snprintf(byte, sizeof byte, "\\x%02X", (tag & 0x7F) | (tag >= 0x80 ? 0x80 : 0));
        s += byte;
        tag >>= 7;
    } while (tag);
    return s;
}

// The tags of a message and of the records it embeds, as a libFuzzer dictionary.
template <class R>
void collect_tags(std::set<uint32_t> &tags) {
    kc::for_each_field<R>([&]<class F, size_t>() {
        tags.insert(F::tag::value);
        if constexpr (is_run<F>) collect_tags<typename F::E>(tags);
    });
}

template <class R>
void write_message(const fs::path &dir) {
    const std::string name(kest::name_of<R>);
    const R full = full_record<R>(2);
    const Bytes wire = encode(full);
    std::printf("%s (%zu bytes):\n", name.c_str(), wire.size());
    for (size_t i = 0; i < wire.size(); ++i) std::printf("%02X%s", wire[i], i + 1 < wire.size() ? " " : "\n");

    // Decode seeds: one byte choosing the allocation to refuse, then the wire bytes.
    const fs::path decode = dir / "corpus" / ("decode_" + name);
    auto seed = [&](const char *file, uint8_t refuse, const Bytes &body) {
        Bytes b{refuse};
        b.insert(b.end(), body.begin(), body.end());
        write(decode / file, b);
    };
    seed("full", 0, wire);
    seed("full_refuse_late", 0xFF, wire);
    R one = full;
    one.present = kc::bit<R, 0>;
    seed("one_field", 0, encode(one));
    const Bytes three = encode(full_record<R>(3));
    if (three != wire) seed("run_of_three", 1, three);
    seed("empty", 0, {});

    // Encode seeds: bytes that build records, from everything set to nothing much.
    const fs::path enc = dir / "corpus" / ("encode_" + name);
    Bytes ones(600, 0xFF), counting(600), mixed(600);
    uint32_t x = 12345;
    for (size_t i = 0; i < 600; ++i) {
        counting[i] = static_cast<uint8_t>(i * 37);
        x = x * 1103515245u + 12345u;
        mixed[i] = static_cast<uint8_t>(x >> 24);
    }
    write(enc / "all_ones", ones);
    write(enc / "counting", counting);
    write(enc / "mixed", mixed);

    std::set<uint32_t> tags;
    collect_tags<R>(tags);
    std::ofstream dict(dir / (name + ".dict"));
    dict << "# Tags of " << name << " and of the records it embeds, then long varints.\n";
    for (uint32_t t : tags) dict << "tag_" << (t >> 3) << "_" << (t & 7) << "=\"" << escaped(t) << "\"\n";
    dict << "varint_max32=\"\\xFF\\xFF\\xFF\\xFF\\x0F\"\n";
    dict << "varint_max64=\"\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\x01\"\n";
    dict << "varint_padded=\"\\x80\\x80\\x80\\x80\\x80\\x00\"\n";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <fuzz directory>\n", argv[0]);
        return 2;
    }
    for_each_message([&]<class R>() { write_message<R>(argv[1]); });
    return 0;
}
