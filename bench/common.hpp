// Shared by the benchmark's translation units: the workloads as wire bytes, and a
// bump arena, so every library decodes the same bytes with the same allocator.
#pragma once

#include <kest.h>

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

struct Workload {
    std::string name;
    std::string_view message;  // the record's name in kest.h's list
    std::vector<uint8_t> wire;  // kest's copy-mode encoding: what every peer must reproduce
};

// Built by the kest side from its records; the peers load their objects from `wire`.
const std::vector<Workload> &workloads();

struct Arena {
    std::vector<uint8_t> mem = std::vector<uint8_t>(size_t{64} << 20);
    size_t used = 0;
    void *take(size_t n) {
        const size_t at = (used + 15) & ~size_t{15};
        if (at + n > mem.size()) return nullptr;
        used = at + n;
        return mem.data() + at;
    }
    void reset() { used = 0; }
};

// Each library checks that it reproduces every workload's bytes before it registers
// anything; a mismatch is fatal, since the comparison would then be meaningless.
void register_kest();
void register_protobuf();
void register_protobuf_c();
void register_nanopb();
void register_floor();

inline void fail(const std::string &what) {
    std::fprintf(stderr, "benchmark refused: %s\n", what.c_str());
    std::exit(2);
}

inline std::string label(const Workload &w, const char *lib, const char *op) {
    return w.name + "/" + lib + "/" + op;
}

// KEST_BENCH_ITERATIONS fixes the iteration count, for instruction counts under callgrind.
inline long fixed_iterations() {
    const char *s = std::getenv("KEST_BENCH_ITERATIONS");
    return s ? std::atol(s) : 0;
}

inline std::string &current_case() {
    static std::string name;
    return name;
}

template <class Body>
void add_case(const Workload &w, const char *lib, const char *op, Body body) {
    const std::string name = label(w, lib, op);
    auto *b = benchmark::RegisterBenchmark(name.c_str(), [body, name](benchmark::State &st) {
        current_case() = name;
        body(st);
    });
    b->Unit(benchmark::kNanosecond);
    if (fixed_iterations() > 0) b->Iterations(fixed_iterations());
}

// Placed right before a timed loop: under callgrind (--collect-atstart=no) only the
// loop is counted, and its totals are dumped under the benchmark's name.
struct Counted {
    explicit Counted(const benchmark::State &) {
        CALLGRIND_ZERO_STATS;
        CALLGRIND_TOGGLE_COLLECT;
    }
    ~Counted() {
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(current_case().c_str());
    }
};

}  // namespace bench
