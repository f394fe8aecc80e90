// nanopb on the same bytes, with statically sized fields (bench/srg.options): no
// allocation at all, its fastest configuration.
#include "common.hpp"

#include "nanopb/srg.pb.h"

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
        switch (w.msg) {
        case Msg::srg_opaque: add<kest_srg_srg_opaque>(w, kest_srg_srg_opaque_fields); break;
        case Msg::srg_cmd_msg: add<kest_srg_srg_cmd_msg>(w, kest_srg_srg_cmd_msg_fields); break;
        case Msg::srg_sync_msg: add<kest_srg_srg_sync_msg>(w, kest_srg_srg_sync_msg_fields); break;
        case Msg::srg_neg_msg: add<kest_srg_srg_neg_msg>(w, kest_srg_srg_neg_msg_fields); break;
        case Msg::srg_opq_dhcpv4_msg: add<kest_srg_srg_opq_dhcpv4_msg>(w, kest_srg_srg_opq_dhcpv4_msg_fields); break;
        case Msg::ia_id_msg: add<kest_srg_ia_id_msg>(w, kest_srg_ia_id_msg_fields); break;
        case Msg::srg_opq_dhcpv6_msg: add<kest_srg_srg_opq_dhcpv6_msg>(w, kest_srg_srg_opq_dhcpv6_msg_fields); break;
        }
    }
}

}  // namespace bench
