// Shared test helpers: hex vectors and an allocator that tracks every block.
#pragma once

#include <kest.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kt {

using Bytes = std::vector<uint8_t>;

// "08 01 1A" -> {0x08, 0x01, 0x1A}; spaces are ignored.
inline Bytes hex(const std::string &s) {
    Bytes out;
    std::string digits;
    for (char c : s)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string to_hex(const uint8_t *p, uint64_t n) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint64_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}
inline std::string to_hex(const Bytes &b) { return to_hex(b.data(), b.size()); }

// Counts allocations and releases, can fail the k-th allocation (0-based), and
// knows which blocks are still live so leaks and double releases are caught.
struct Tracker {
    std::map<void *, uint64_t> live;
    std::vector<uint64_t> sizes;      // every size asked for, in call order
    std::vector<void *> released;     // every block released, in call order
    int fail_at = -1;                 // index of the allocation call to refuse
    int bad_releases = 0;             // releases of unknown or already released blocks

    static void *alloc(uint64_t n, void *ctx) {
        auto *t = static_cast<Tracker *>(ctx);
        const int k = static_cast<int>(t->sizes.size());
        t->sizes.push_back(n);
        if (k == t->fail_at) return nullptr;
        void *p = std::malloc(n ? n : 1);
        std::memset(p, 0xA5, n);  // garbage, so code relying on zeroed memory shows up
        t->live[p] = n;
        return p;
    }
    static void release(void *p, void *ctx) {
        auto *t = static_cast<Tracker *>(ctx);
        t->released.push_back(p);
        auto it = t->live.find(p);
        if (it == t->live.end()) {
            ++t->bad_releases;
            return;
        }
        t->live.erase(it);
        std::free(p);
    }
    int allocs() const { return static_cast<int>(sizes.size()); }
    // Every block handed out was released exactly once.
    void expect_clean() const {
        EXPECT_EQ(live.size(), 0u) << "leaked blocks";
        EXPECT_EQ(bad_releases, 0) << "double or foreign release";
    }
    ~Tracker() {
        for (auto &kv : live) std::free(kv.first);
    }
};

}  // namespace kt
