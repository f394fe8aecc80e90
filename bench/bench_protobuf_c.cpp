// protobuf-c on the same bytes: pack, and unpack with a bump allocator (its fastest
// setting) and with its default allocator.
#include "common.hpp"

#include "c/kinds.pb-c.h"
#include "c/srg.pb-c.h"
#ifdef KEST_BENCH_LARGE
#include "c/big.pb-c.h"
#endif

namespace bench {
namespace {

void *arena_alloc(void *ctx, size_t n) { return static_cast<Arena *>(ctx)->take(n); }
void arena_free(void *, void *) {}

const ProtobufCMessageDescriptor *descriptor(std::string_view message) {
#define KEST_PEER_(M) \
    if (message == #M) return &kest__srg__##M##__descriptor;
    KEST_MESSAGES(KEST_PEER_)
#undef KEST_PEER_
    if (message == "InterfaceCounters") return &kinds__interface_counters__descriptor;
#ifdef KEST_BENCH_LARGE
    if (message == "m19") return &big__m19__descriptor;
#endif
    return nullptr;
}

void add(const Workload &w) {
    const ProtobufCMessageDescriptor *desc = descriptor(w.message);
    if (!desc) return;  // a message of kest's alone
    ProtobufCMessage *msg = protobuf_c_message_unpack(desc, nullptr, w.wire.size(), w.wire.data());
    if (!msg) fail(w.name + ": protobuf-c cannot unpack");
    std::vector<uint8_t> out(protobuf_c_message_get_packed_size(msg));
    protobuf_c_message_pack(msg, out.data());
    if (out != w.wire) fail(w.name + ": protobuf-c bytes differ");
    auto reg = [&](const char *op, auto body) { add_case(w, "protobuf-c", op, body); };
    reg("encode", [msg, size = w.wire.size()](benchmark::State &st) {
        std::vector<uint8_t> buf(size);
        Counted counted(st);
            for (auto _ : st) {
            benchmark::DoNotOptimize(protobuf_c_message_pack(msg, buf.data()));
            benchmark::ClobberMemory();
        }
    });
    reg("two_call", [msg, size = w.wire.size()](benchmark::State &st) {
        std::vector<uint8_t> buf(size);
        Counted counted(st);
        for (auto _ : st) {
            benchmark::DoNotOptimize(protobuf_c_message_get_packed_size(msg));
            benchmark::DoNotOptimize(protobuf_c_message_pack(msg, buf.data()));
            benchmark::ClobberMemory();
        }
    });
    reg("decode", [w, desc](benchmark::State &st) {
        Arena arena;
        ProtobufCAllocator alloc{arena_alloc, arena_free, &arena};
        Counted counted(st);
            for (auto _ : st) {
            ProtobufCMessage *m = protobuf_c_message_unpack(desc, &alloc, w.wire.size(), w.wire.data());
            if (!m) st.SkipWithError("unpack failed");
            benchmark::DoNotOptimize(m);
            arena.reset();
        }
    });
    reg("decode_malloc", [w, desc](benchmark::State &st) {
        Counted counted(st);
            for (auto _ : st) {
            ProtobufCMessage *m = protobuf_c_message_unpack(desc, nullptr, w.wire.size(), w.wire.data());
            if (!m) st.SkipWithError("unpack failed");
            benchmark::DoNotOptimize(m);
            protobuf_c_message_free_unpacked(m, nullptr);
        }
    });
}

}  // namespace

void register_protobuf_c() {
    for (const Workload &w : workloads()) add(w);
}

}  // namespace bench
