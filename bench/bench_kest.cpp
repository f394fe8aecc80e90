// kest's side of the benchmark: the workloads are built here as records, every field
// present, and their copy-mode encodings are the bytes every library must match.
#include "common.hpp"

#include "srg/srg.kest.hpp"
#include "telemetry.kest.hpp"

#include <kest.hpp>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string_view>

KEST_CODECS(TM_TELEMETRY_OPERATIONS)
#include "kinds.kest.hpp"
KEST_CODECS(KB_KINDS_OPERATIONS)
#ifdef KEST_BENCH_LARGE
#include "big.kest.hpp"
KEST_CODECS(BIG_BIG_OPERATIONS)
#endif

namespace bench {
namespace {
using namespace kest::core;

struct Shape {
    uint64_t payload;       // length of every byte string of the record
    uint32_t elements;      // elements of its run, if it has one
    uint64_t elem_payload;  // length of each element's byte string
};

std::deque<std::vector<uint8_t>> storage;  // payloads and element arrays outlive the records

const uint8_t *payload(uint64_t n) {
    auto &p = storage.emplace_back(n);
    for (uint64_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 131 + 7);
    return p.data();
}

// Every field present, integers of mixed widths as a control plane sends them.
template <class R>
void fill(R &r, const Shape &s) {
    static constexpr uint32_t values[] = {1, 200, 1500, 65535, 3000000, 0xC0A80101};
    r = R{};
    for_each_field<R>([&]<class F, size_t I>() {
        constexpr kind k = F::what;
        if constexpr (F::scalars) {
            using T = typename F::element;
            auto *elems = reinterpret_cast<T *>(storage.emplace_back(sizeof(T) * s.elements).data());
            for (uint32_t i = 0; i < s.elements; ++i) {
                if constexpr (std::is_same_v<T, kest_bytes>)
                    elems[i] = kest_bytes{payload(s.payload), s.payload};
                else
                    elems[i] = static_cast<T>(values[(I + i) % 6]);
            }
            r.*F::member = elems;
            r.*F::count = s.elements;
        } else if constexpr (k == kind::bytes) {
            r.*F::member = payload(s.payload);
            r.*F::length = s.payload;
        } else if constexpr (F::single) {
            r.*F::member = nullptr;  // a message may hold itself: left out
        } else if constexpr (k == kind::message) {
            using E = typename F::element;
            auto &block = storage.emplace_back(sizeof(E) * s.elements);
            auto *elems = reinterpret_cast<E *>(block.data());
            for (uint32_t i = 0; i < s.elements; ++i) fill(elems[i], Shape{s.elem_payload, s.elements, s.elem_payload});
            r.*F::member = elems;
            r.*F::count = s.elements;
        } else if constexpr (k == kind::boolean) {
            r.*F::member = true;
        } else if constexpr (k == kind::uint64) {
            r.*F::member = uint64_t{0x12345678} << (I % 32);
        } else {
            r.*F::member = values[I % 6];
        }
    });
    r.present = field_mask<R>;
}

// The fields on the wire, elements and their fields included: instructions per field
// compare messages of any shape.
template <class R>
double fields(const R &r) {
    double n = 0;
    for_each_field<R>([&]<class F, size_t>() {
        if constexpr (F::what == kind::message)
            for (uint32_t i = 0; i < extent_of<F>(r); ++i) n += 1 + fields((r.*F::member)[i]);
        else
            n += 1;
    });
    return n;
}

template <class R>
using api = kest::codec<R>;

void *arena_alloc(uint64_t n, void *ctx) { return static_cast<Arena *>(ctx)->take(n); }
void *heap_alloc(uint64_t n, void *) { return std::malloc(n ? n : 1); }
void heap_free(void *p, void *) { std::free(p); }
void no_free(void *, void *) {}

std::vector<Workload> all;
std::vector<std::function<void()>> registrations;

template <class R>
void add(const char *name, const R *rec) {
    Workload w{name, kest::name_of<R>, {}};
    w.wire.resize(api<R>::encode(*rec, nullptr, 0, nullptr, nullptr, 0));
    api<R>::encode(*rec, w.wire.data(), w.wire.size(), nullptr, nullptr, 0);
    all.push_back(w);

    registrations.push_back([rec, w] {
        const uint64_t size = w.wire.size();
        auto reg = [&](const char *op, auto body) { add_case(w, "kest", op, body); };
        // A single call does not know the size: it writes into a scratch buffer with room to
        // spare, as a sender keeps one for the largest message it expects.
        reg("encode", [rec, size](benchmark::State &st) {
            st.counters["wire_bytes"] = static_cast<double>(size);
            st.counters["fields"] = fields(*rec);
            std::vector<uint8_t> buf(size + (64 << 10));
            Counted counted(st);
            for (auto _ : st) {
                benchmark::DoNotOptimize(api<R>::encode(*rec, buf.data(), buf.size(), nullptr, nullptr, 0));
                benchmark::ClobberMemory();
            }
        });
        reg("encode_zero_copy", [rec, size](benchmark::State &st) {
            std::vector<uint8_t> buf(size + (64 << 10));
            std::vector<kest_segment> segs(4096);
            Counted counted(st);
            for (auto _ : st) {
                uint32_t n = static_cast<uint32_t>(segs.size());
                benchmark::DoNotOptimize(
                    api<R>::encode(*rec, buf.data(), buf.size(), segs.data(), &n, KEST_FLAG_ZERO_COPY));
                benchmark::ClobberMemory();
            }
        });
        reg("size_query", [rec](benchmark::State &st) {
            Counted counted(st);
            for (auto _ : st) benchmark::DoNotOptimize(api<R>::encode(*rec, nullptr, 0, nullptr, nullptr, 0));
        });
        reg("size_query_segments", [rec](benchmark::State &st) {
            Counted counted(st);
            for (auto _ : st) {
                uint32_t n = 0;
                benchmark::DoNotOptimize(api<R>::encode(*rec, nullptr, 0, nullptr, &n, KEST_FLAG_ZERO_COPY));
                benchmark::DoNotOptimize(n);
            }
        });
        // The README's pattern: a size query with a segment count, then the encode.
        for (const uint32_t flags : {0u, uint32_t{KEST_FLAG_ZERO_COPY}})
            reg(flags ? "two_call_zero_copy" : "two_call", [rec, size, flags](benchmark::State &st) {
                std::vector<uint8_t> buf(size);
                std::vector<kest_segment> segs(4096);
                Counted counted(st);
                for (auto _ : st) {
                    uint32_t n = 0;
                    const uint64_t need = api<R>::encode(*rec, nullptr, 0, nullptr, &n, flags);
                    benchmark::DoNotOptimize(api<R>::encode(*rec, buf.data(), need, segs.data(), &n, flags));
                    benchmark::ClobberMemory();
                }
            });
        auto decode = [w](uint32_t flags, bool heap) {
            return [w, flags, heap](benchmark::State &st) {
                Arena arena;
                R out{};
                Counted counted(st);
            for (auto _ : st) {
                    const int32_t rc = heap ? api<R>::decode(out, w.wire.data(), w.wire.size(), heap_alloc, nullptr, flags)
                                            : api<R>::decode(out, w.wire.data(), w.wire.size(), arena_alloc, &arena, flags);
                    if (rc != KEST_OK) st.SkipWithError("decode failed");
                    benchmark::DoNotOptimize(out);
                    if (heap) api<R>::release(out, heap_free, nullptr, flags);
                    arena.reset();
                }
            };
        };
        reg("decode", decode(0, false));
        reg("decode_malloc", decode(0, true));
        reg("decode_zero_copy", decode(KEST_FLAG_ZERO_COPY, false));
        reg("duplicate", [rec](benchmark::State &st) {
            Arena arena;
            R out{};
            Counted counted(st);
            for (auto _ : st) {
                benchmark::DoNotOptimize(api<R>::duplicate(out, *rec, arena_alloc, &arena));
                api<R>::release(out, no_free, nullptr, 0);
                arena.reset();
            }
        });
    });
}

template <class R>
void add(const char *name, const Shape &shape) {
    auto *rec = new R;  // lives as long as the benchmark
    fill(*rec, shape);
    add(name, rec);
}

const uint8_t *text(std::string_view s) {
    return reinterpret_cast<const uint8_t *>(storage.emplace_back(s.begin(), s.end()).data());
}

template <class T>
T *block(size_t n) {
    return reinterpret_cast<T *>(storage.emplace_back(sizeof(T) * n).data());
}

template <class T>
T *array(std::initializer_list<T> v) {
    return std::copy(v.begin(), v.end(), block<T>(v.size())) - v.size();
}

// One interface's counters as a network element reports them: every kind of field, one
// member of the oneof, and the map's keys in order, as protobuf C++ writes them when
// deterministic (its timed encode keeps its own order).
const InterfaceCounters *kinds_record() {
    auto *r = new InterfaceCounters{};
    r->f1 = text("port-1/1/12");
    r->f1_len = 11;
    r->f2 = 1012;
    r->f3 = 1;  // up
    r->f4 = 9216;
    r->f5 = 1765101234;
    r->f6 = 918273645546;
    r->f7 = 123456789012345;
    r->f8 = -3;
    r->f9 = -125000;
    r->f10 = 1765101234567890123;
    r->f11 = -90;
    r->f12 = -4200;
    r->f13 = 0.4375f;
    r->f14 = 1.25e-7;
    r->f15 = true;
    r->f16 = 0xC0A80001;
    r->f17 = array<uint8_t>({0x00, 0x1b, 0x21, 0x3a, 0x4f, 0x5c});
    r->f17_len = 6;
    r->f18 = array<uint32_t>({0, 3, 41, 187, 1024, 5021, 16384, 70113, 250000, 1048575, 2097152, 650000, 42017,
                              9001, 120, 7});
    r->n_f18 = 16;
    r->f19 = array<int64_t>({12, -7, 300, -1, 0, 45000, -45000, 2, -2, 999999, -65, 64});
    r->n_f19 = 12;
    r->f20 = array<double>({0.05, 0.125, 0.31, 0.5, 0.62, 0.75, 0.875, 0.9, 0.66, 0.4, 0.2, 0.1});
    r->n_f20 = 12;
    r->f21 = text("core-rtr-2");
    r->f21_len = 10;
    static constexpr std::string_view keys[] = {"crc_errors",   "discards_in",  "discards_out", "errors_in",
                                                "errors_out",   "multicast_in", "pause_frames", "unknown_proto"};
    static constexpr int64_t values[] = {17, -3, 4096, 5, -1, 123456789, 88, -250000};  // protobuf-c leaves out a 0
    auto *entries = block<InterfaceCounters_CountersEntry>(8);
    for (size_t i = 0; i < 8; ++i)
        entries[i] = {text(keys[i]), keys[i].size(), values[i], field_mask<InterfaceCounters_CountersEntry>};
    r->f23 = entries;
    r->n_f23 = 8;
    r->f24 = array<Thresholds>({{0.85, 0.25f, 3000, -5, field_mask<Thresholds>}});
    constexpr auto q = field_mask<QueueStats>;
    r->f25 = array<QueueStats>({{0, 81234567, 9876543210, 12, -40, q},
                                {1, 2345, 301234, 0, 7, q},
                                {5, 4400000001, 6100000000000, 1203, -1, q},
                                {7, 19, 1520, 3, 250, q}});
    r->n_f25 = 4;
    r->f26 = array<int32_t>({1, 2, 1, 3, 1, 2, 2, 1});
    r->n_f26 = 8;
    r->present = field_mask<InterfaceCounters> & ~KB_INTERFACECOUNTERS_PEER_ID;
    return r;
}

void build() {
    if (!all.empty()) return;
    add<srg_neg_msg>("neg", {0, 0, 0});
    add<srg_cmd_msg>("cmd", {16, 0, 0});
    add<srg_sync_msg>("sync", {32, 24, 16});
    add<srg_opq_dhcpv4_msg>("dhcpv4", {24, 0, 0});
    add<srg_opq_dhcpv6_msg>("dhcpv6", {24, 4, 12});
    add<srg_opq_dhcpv6_msg>("dhcpv6_run8", {24, 8, 24});
    add<srg_opq_dhcpv6_msg>("dhcpv6_run64", {24, 64, 24});
    add<srg_sync_msg>("sync_bulk", {32, 1000, 16});
    add<srg_cmd_msg>("cmd_heavy", {60000, 0, 0});
    // Generated from examples/own_proto, kest alone: one of each kind, and runs two deep.
    add<Reading>("own_reading", {24, 0, 0});
    add<Report>("own_report", {24, 4, 12});
    // Every kind of field on one record (bench/kinds.proto), for every library.
    add("kinds", kinds_record());
#ifdef KEST_BENCH_LARGE
    // The deepest message of bench/codesize.py's nested schema: runs of 3 at each of its
    // four levels of runs, 121 records; every library has code for it.
    add<m19>("large", {16, 3, 16});
#endif
}
}  // namespace

const std::vector<Workload> &workloads() {
    build();
    return all;
}

void register_kest() {
    build();
    for (auto &r : registrations) r();
}

}  // namespace bench
