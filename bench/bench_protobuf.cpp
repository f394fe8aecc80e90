// Google's protobuf C++ runtime on the same bytes: serialize to an array, parse into
// a reused message, and parse onto an arena.
#include "common.hpp"

#include "cpp/srg.pb.h"

#include <google/protobuf/arena.h>

namespace bench {
namespace {

template <class P>
void add(const Workload &w) {
    auto *msg = new P;  // lives as long as the benchmark
    if (!msg->ParseFromArray(w.wire.data(), static_cast<int>(w.wire.size()))) fail(w.name + ": protobuf cannot parse");
    if (msg->SerializeAsString() != std::string(w.wire.begin(), w.wire.end())) fail(w.name + ": protobuf bytes differ");
    const int size = static_cast<int>(w.wire.size());
    auto reg = [&](const char *op, auto body) { add_case(w, "protobuf", op, body); };
    reg("encode", [msg, size](benchmark::State &st) {
        std::vector<uint8_t> buf(size);
        Counted counted(st);
            for (auto _ : st) {
            benchmark::DoNotOptimize(msg->SerializeToArray(buf.data(), size));
            benchmark::ClobberMemory();
        }
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
    namespace pb = kest::srg;
    for (const Workload &w : workloads()) {
        switch (w.msg) {
        case Msg::srg_opaque: add<pb::srg_opaque>(w); break;
        case Msg::srg_cmd_msg: add<pb::srg_cmd_msg>(w); break;
        case Msg::srg_sync_msg: add<pb::srg_sync_msg>(w); break;
        case Msg::srg_neg_msg: add<pb::srg_neg_msg>(w); break;
        case Msg::srg_opq_dhcpv4_msg: add<pb::srg_opq_dhcpv4_msg>(w); break;
        case Msg::ia_id_msg: add<pb::ia_id_msg>(w); break;
        case Msg::srg_opq_dhcpv6_msg: add<pb::srg_opq_dhcpv6_msg>(w); break;
        }
    }
}

}  // namespace bench
