// Google's protobuf C++ runtime on the same bytes: serialize to an array, parse into
// a reused message, and parse onto an arena.
#include "common.hpp"

#include "cpp/kinds.pb.h"
#include "cpp/srg.pb.h"
#ifdef KEST_BENCH_LARGE
#include "cpp/big.pb.h"
#endif

#include <google/protobuf/arena.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

namespace bench {
namespace {

template <class P>
void add(const Workload &w) {
    auto *msg = new P;  // lives as long as the benchmark
    if (!msg->ParseFromArray(w.wire.data(), static_cast<int>(w.wire.size()))) fail(w.name + ": protobuf cannot parse");
    // A map is written in key order only when deterministic; the timed encode writes it in
    // its own order, the same bytes otherwise.
    std::string bytes;
    {
        google::protobuf::io::StringOutputStream out(&bytes);
        google::protobuf::io::CodedOutputStream coded(&out);
        coded.SetSerializationDeterministic(true);
        msg->SerializeToCodedStream(&coded);
    }
    if (bytes != std::string(w.wire.begin(), w.wire.end()) || msg->SerializeAsString().size() != w.wire.size())
        fail(w.name + ": protobuf bytes differ");
    const int size = static_cast<int>(w.wire.size());
    auto reg = [&](const char *op, auto body) { add_case(w, "protobuf", op, body); };
    reg("encode", [msg, size](benchmark::State &st) {
        std::vector<uint8_t> buf(size + (64 << 10));  // as kest's single call gets
        Counted counted(st);
        for (auto _ : st) {
            benchmark::DoNotOptimize(msg->SerializeToArray(buf.data(), static_cast<int>(buf.size())));
            benchmark::ClobberMemory();
        }
    });
    // What a caller that sizes its buffer first does; SerializeToArray sizes once more.
    reg("two_call", [msg, size](benchmark::State &st) {
        std::vector<uint8_t> buf(size);
        Counted counted(st);
        for (auto _ : st) {
            const auto need = static_cast<int>(msg->ByteSizeLong());
            benchmark::DoNotOptimize(msg->SerializeToArray(buf.data(), need));
            benchmark::ClobberMemory();
        }
    });
    reg("size_query", [msg](benchmark::State &st) {
        Counted counted(st);
        for (auto _ : st) benchmark::DoNotOptimize(msg->ByteSizeLong());
    });
    reg("decode", [w, size](benchmark::State &st) {
        P out;
        Counted counted(st);
            for (auto _ : st) {
            if (!out.ParseFromArray(w.wire.data(), size)) st.SkipWithError("parse failed");
            benchmark::DoNotOptimize(out);
        }
    });
    reg("decode_arena", [w, size](benchmark::State &st) {
        std::vector<char> block(size_t{64} << 20);
        google::protobuf::ArenaOptions options;
        options.initial_block = block.data();
        options.initial_block_size = block.size();
        Counted counted(st);
            for (auto _ : st) {
            google::protobuf::Arena arena(options);
            P *out = google::protobuf::Arena::CreateMessage<P>(&arena);
            if (!out->ParseFromArray(w.wire.data(), size)) st.SkipWithError("parse failed");
            benchmark::DoNotOptimize(out);
        }
    });
}

}  // namespace

void register_protobuf() {
    for (const Workload &w : workloads()) {
#define KEST_PEER_(M) \
    if (w.message == #M) add<kest::srg::M>(w);
        KEST_MESSAGES(KEST_PEER_)
#undef KEST_PEER_
        if (w.message == "InterfaceCounters") add<kinds::InterfaceCounters>(w);
#ifdef KEST_BENCH_LARGE
        if (w.message == "m19") add<big::m19>(w);
#endif
    }
}

}  // namespace bench
