// Records built from the fuzzer's bytes, any presence bits, lengths and counts,
// through one message's encoder (KEST_FUZZ_RECORD) with fuzzer-chosen buffer
// lengths and segment capacities; then decode and duplicate of the same record.
#include "harness.hpp"

#include <memory>
#include <utility>

namespace {

using namespace kest_fuzz;

// Payloads and element arrays of a built record, each a block of its own so that
// reads past them show, with a copy to prove encode left them alone.
struct Arena {
    std::vector<std::shared_ptr<void>> blocks;
    std::vector<std::pair<const void *, Bytes>> snapshots;

    uint8_t *payload(Reader &in, uint64_t n) {
        auto *p = new uint8_t[n];
        blocks.emplace_back(p, [](void *q) { delete[] static_cast<uint8_t *>(q); });
        for (uint64_t i = 0; i < n; ++i) p[i] = in.take<uint8_t>();
        return p;
    }
    template <class E>
    E *array(uint32_t n) {
        auto *p = new E[n]();
        blocks.emplace_back(p, [](void *q) { delete[] static_cast<E *>(q); });
        return p;
    }
    void snapshot(const void *p, uint64_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        snapshots.emplace_back(p, Bytes(b, b + n));
    }
    bool unchanged() const {
        for (const auto &[p, copy] : snapshots)
            if (!same_bytes(static_cast<const uint8_t *>(p), copy.data(), copy.size())) return false;
        return true;
    }
};

const uint8_t kStray = 0x77;  // a non-null pointer for an empty payload

template <class R>
void build(R &r, Reader &in, Arena &arena) {
    kc::for_each_field<R>([&]<class F, size_t>() {
        constexpr auto m = F::member;
        if constexpr (is_bytes<F>) {
            constexpr auto size = size_member<F>::value;
            const uint8_t shape = in.take<uint8_t>();
            const uint64_t n = shape & 0x80 ? in.take<uint16_t>() % 2048 : shape % 48;
            r.*m = n ? arena.payload(in, n) : shape & 0x40 ? &kStray : nullptr;
            r.*size = n;
            if (n) arena.snapshot(r.*m, n);
        } else if constexpr (is_run<F>) {
            using E = typename F::E;
            constexpr auto size = size_member<F>::value;
            const uint32_t n = in.take<uint8_t>() % 5;
            E *elements = n ? arena.array<E>(n) : nullptr;
            for (uint32_t i = 0; i < n; ++i) build(elements[i], in, arena);
            r.*m = elements;
            r.*size = n;
            if (n) arena.snapshot(elements, n * sizeof(E));
        } else if constexpr (std::is_same_v<std::remove_cvref_t<decltype(r.*m)>, bool>) {
            r.*m = in.take<uint8_t>() & 1;
        } else {
            r.*m = in.take<std::remove_cvref_t<decltype(r.*m)>>();
        }
    });
    r.present = in.take<kc::presence_t<R>>();
}

template <class R>
void fuzz_encode(const uint8_t *data, size_t size) {
    Reader in{data, data + size};
    Arena arena;
    R r{};
    build(r, in, arena);
    const R before = r;

    const Bytes wire = check_encode(r, in);
    FUZZ_CHECK(std::memcmp(&before, &r, sizeof r) == 0 && arena.unchanged());

    for (uint32_t flags : {0u, ZC}) {
        Pool pool;
        int32_t rc;
        R back = decode_checked<R>(wire, flags, &pool, rc);
        FUZZ_CHECK(rc == KEST_OK && same_on_wire(back, r));
        release_checked(back, flags, pool);
    }
    check_duplicates(r, wire, in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_encode<KEST_FUZZ_RECORD>(data, size);
    return 0;
}
