// MemorySanitizer's target: the C API alone (no kit: its standard library is not instrumented).
#include <kest.hpp>

#include <cstdlib>

namespace {

void *take(uint64_t n, void *) { return std::malloc(n ? n : 1); }
void give(void *p, void *) { std::free(p); }

// Branching on every byte makes MemorySanitizer check it.
volatile uint64_t seen;
void use(const void *p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i)
        if (static_cast<const uint8_t *>(p)[i] == 0xA5) seen = seen + 1;
}

template <class R>
void check(const uint8_t *data, size_t size, uint32_t flags) {
    using api = kest::codec<R>;
    R m, copy;
    if (api::decode(m, data, size, take, nullptr, flags) == KEST_OK) {
        uint32_t n = 0;
        const uint64_t len = api::encode(m, nullptr, 0, nullptr, &n, flags);
        auto *buf = static_cast<uint8_t *>(std::malloc(len + 1));
        auto *segs = static_cast<kest_segment *>(std::malloc((n + 1) * sizeof(kest_segment)));
        api::encode(m, buf, len, segs, &n, flags);
        for (uint32_t i = 0; i < n; ++i) use(segs[i].base, segs[i].len);
        if (api::duplicate(copy, m, take, nullptr) == KEST_OK) {
            const uint64_t again = api::encode(copy, buf, len, nullptr, nullptr, 0);
            use(buf, again < len ? again : len);
        }
        api::release(copy, give, nullptr, 0);
        std::free(buf);
        std::free(segs);
    }
    api::release(m, give, nullptr, flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t k = 0, pick = data[0] >> 1;
    kest::for_each_message([&]<class R>() {
        if (k++ == pick % std::tuple_size_v<kest::messages_as<std::tuple>>) check<R>(data + 1, size - 1, data[0] & 1);
    });
    return 0;
}
