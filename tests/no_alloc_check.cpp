// The library never allocates on its own. malloc, calloc, realloc, free and
// operator new/delete are replaced for the whole process (the executable exports
// them, so calls from shared libraries land here too) and every call made while a
// kest operation runs is counted. Records get their blocks from a static arena.
#include "full_encodings.hpp"
#include "record_walk.hpp"
#include "support.hpp"

#include <new>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
thread_local bool inside_kest = false;
thread_local long heap_calls = 0;

void count() {
    if (inside_kest) ++heap_calls;
}
}  // namespace

extern "C" {
void *malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
    count();
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void free(void *p) {
    count();
    __libc_free(p);
}
}

void *operator new(size_t n) {
    count();
    if (void *p = __libc_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept {
    count();
    __libc_free(p);
}
void operator delete[](void *p) noexcept { operator delete(p); }
void operator delete(void *p, size_t) noexcept { operator delete(p); }
void operator delete[](void *p, size_t) noexcept { operator delete(p); }

namespace {

using namespace kt::generic;
using kt::Bytes;

constexpr uint32_t ZC = KEST_FLAG_ZERO_COPY;

// Runs fn with the counter armed; returns the heap calls it made.
template <class Fn>
long heap_calls_of(Fn &&fn) {
    heap_calls = 0;
    inside_kest = true;
    fn();
    inside_kest = false;
    return heap_calls;
}

// Record memory that never touches the heap; refuses call number `fail_at`.
struct Arena {
    alignas(16) unsigned char bytes[1 << 16];
    size_t used = 0;
    long calls = 0, fail_at = -1;

    static void *alloc(uint64_t n, void *ctx) {
        auto &a = *static_cast<Arena *>(ctx);
        if (a.calls++ == a.fail_at || a.used + n + 16 > sizeof a.bytes) return nullptr;
        void *p = a.bytes + a.used;
        a.used += (n + 15) / 16 * 16 + 16;
        return p;
    }
    static void release(void *, void *) {}
};

TEST(NoAlloc, CountsCallsFromSharedLibraries) {
    char *copy = nullptr;
    int *number = nullptr;
    EXPECT_GE(heap_calls_of([&] { copy = strdup("libc allocates through malloc"); }), 1);
    EXPECT_GE(heap_calls_of([&] { number = new int(7); }), 1);
    EXPECT_GE(heap_calls_of([&] {
                  free(copy);
                  delete number;
              }),
              2);
}

// Every operation of every message, on the stored encoding, its prefixes (the error
// paths) and records whose allocations fail, all in one armed window per call.
TEST(NoAlloc, KestOperationsMakeNoHeapCalls) {
    long calls = 0;
    for_each_message([&]<class R>() {
        const Bytes wire = kt::hex(full_encoding<R>);
        static Arena arena;
        for (size_t n = 0; n <= wire.size(); ++n) {
            for (uint32_t flags : {0u, ZC}) {
                for (long fail_at : {-1L, 0L, 1L}) {
                    arena.used = 0;
                    arena.calls = 0;
                    arena.fail_at = fail_at;
                    R r, copy;
                    uint8_t buf[512];
                    kest_segment segs[64];
                    uint32_t nsegs = 64, none = 0;
                    calls += heap_calls_of([&] {
                        api::decode(&r, wire.data(), n, Arena::alloc, &arena, flags);
                        api::decode(&copy, wire.data(), n, nullptr, nullptr, flags);
                        api::release(&copy, Arena::release, nullptr, flags);
                        api::encode(&r, nullptr, 0, nullptr, &none, flags);
                        api::encode(&r, buf, sizeof buf, segs, &nsegs, flags);
                        api::encode(&r, buf, 3, segs, &none, flags);
                        api::duplicate(&copy, &r, Arena::alloc, &arena);
                        api::release(&copy, Arena::release, nullptr, 0);
                        api::duplicate(&copy, &r, nullptr, nullptr);
                        api::release(&r, Arena::release, nullptr, flags);
                    });
                }
            }
        }
    });
    EXPECT_EQ(calls, 0);
}

}  // namespace
