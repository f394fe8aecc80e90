// nanopb on the same bytes, with statically sized fields (bench/srg.options): no
// allocation at all, its fastest configuration.
#include "common.hpp"

#include "nanopb/kinds.pb.h"
#include "nanopb/srg.pb.h"
#ifdef KEST_BENCH_LARGE
#include "nanopb/big.pb.h"
#endif

#include <pb_decode.h>
#include <pb_encode.h>

namespace bench {
namespace {

template <class T>
void add(const Workload &w, const pb_msgdesc_t *fields) {
    auto *msg = new T{};  // lives as long as the benchmark
    pb_istream_t in = pb_istream_from_buffer(w.wire.data(), w.wire.size());
    if (!pb_decode(&in, fields, msg)) fail(w.name + ": nanopb cannot decode: " + PB_GET_ERROR(&in));
    std::vector<uint8_t> out(w.wire.size());
    pb_ostream_t os = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&os, fields, msg) || os.bytes_written != w.wire.size() || out != w.wire)
        fail(w.name + ": nanopb bytes differ");
    auto reg = [&](const char *op, auto body) { add_case(w, "nanopb", op, body); };
    reg("encode", [msg, fields, size = w.wire.size()](benchmark::State &st) {
        std::vector<uint8_t> buf(size);
        Counted counted(st);
            for (auto _ : st) {
            pb_ostream_t os = pb_ostream_from_buffer(buf.data(), size);
            benchmark::DoNotOptimize(pb_encode(&os, fields, msg));
            benchmark::ClobberMemory();
        }
    });
    reg("decode", [w, fields](benchmark::State &st) {
        auto *out = new T{};
        Counted counted(st);
            for (auto _ : st) {
            pb_istream_t is = pb_istream_from_buffer(w.wire.data(), w.wire.size());
            if (!pb_decode(&is, fields, out)) st.SkipWithError("decode failed");
            benchmark::DoNotOptimize(out);
        }
        delete out;
    });
}

}  // namespace

void register_nanopb() {
    for (const Workload &w : workloads()) {
#define KEST_PEER_(M) \
    if (w.message == #M) add<kest_srg_##M>(w, kest_srg_##M##_fields);
        KEST_MESSAGES(KEST_PEER_)
#undef KEST_PEER_
        if (w.message == "InterfaceCounters") add<kinds_InterfaceCounters>(w, kinds_InterfaceCounters_fields);
#ifdef KEST_BENCH_LARGE
        if (w.message == "m19") add<big_m19>(w, big_m19_fields);
#endif
    }
}

}  // namespace bench
