// Every library, every workload, one binary and one run, so the ratios compare like
// with like on the same machine state.
#include "common.hpp"

#include <cstring>
#include <numeric>

namespace bench {
void register_floor() {
    for (const Workload &w : workloads()) {
        add_case(w, "floor", "memcpy", [w](benchmark::State &st) {
            std::vector<uint8_t> buf(w.wire.size());
            Counted counted(st);
            for (auto _ : st) {
                std::memcpy(buf.data(), w.wire.data(), w.wire.size());
                benchmark::ClobberMemory();
            }
        });
        add_case(w, "floor", "read", [w](benchmark::State &st) {
            Counted counted(st);
            for (auto _ : st) {
                benchmark::DoNotOptimize(std::accumulate(w.wire.begin(), w.wire.end(), uint64_t{0}));
            }
        });
    }
}
}  // namespace bench

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    bench::register_kest();
    bench::register_protobuf();
    bench::register_protobuf_c();
    bench::register_nanopb();
    bench::register_floor();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
