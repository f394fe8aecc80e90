// Hostile bytes into one message's decoder (KEST_FUZZ_RECORD), in copy and zero-copy
// mode, with a working, an absent and a refusing allocator; then what must hold
// whatever the result, and on success the round trip through encode and duplicate.
// Input: one byte choosing the allocation to refuse, then the wire bytes.
#include "harness.hpp"

namespace {

using namespace kest_fuzz;

template <class R>
void fuzz_decode(const uint8_t *data, size_t size) {
    if (size == 0) return;
    const uint8_t refuse = data[0];
    const Bytes in(data + 1, data + size);  // a block of its own, so overreads show
    Reader pick{data, data + size};

    Pool pool, zpool;
    int32_t rc, zrc;
    R copy = decode_checked<R>(in, 0, &pool, rc);
    R zero = decode_checked<R>(in, ZC, &zpool, zrc);
    FUZZ_CHECK(rc != KEST_ERR_NO_MEMORY && zrc == rc && same_on_wire(zero, copy));
    FUZZ_CHECK(zpool.calls <= pool.calls);

    for (uint32_t flags : {0u, ZC}) {
        int32_t bare_rc;
        R bare = decode_checked<R>(in, flags, nullptr, bare_rc);
        FUZZ_CHECK(bare_rc == rc || bare_rc == KEST_ERR_NO_MEMORY);
        if (bare_rc == KEST_OK) FUZZ_CHECK(same_on_wire(bare, copy));

        // A refused allocation stops the decode there, keeping only earlier fields.
        const long made = flags ? zpool.calls : pool.calls;
        if (made == 0) continue;
        Pool failing;
        failing.fail_at = refuse % made;
        int32_t part_rc;
        R part = decode_checked<R>(in, flags, &failing, part_rc);
        FUZZ_CHECK(part_rc == KEST_ERR_NO_MEMORY && failing.calls == failing.fail_at + 1);
        FUZZ_CHECK((part.present & ~copy.present & kt::generic::kc::field_mask<R>) == 0);
        release_checked(part, flags, failing);
    }

    if (rc == KEST_OK) {
        const Bytes wire = check_encode(copy, pick);
        FUZZ_CHECK(wire.size() <= in.size() && encoded(zero) == wire);
        Pool again_pool;
        int32_t again_rc;
        R again = decode_checked<R>(wire, 0, &again_pool, again_rc);
        FUZZ_CHECK(again_rc == KEST_OK && same_on_wire(again, copy) && encoded(again) == wire);
        release_checked(again, 0, again_pool);
        check_duplicates(copy, wire, pick);
        check_duplicates(zero, wire, pick);
    }
    release_checked(copy, 0, pool);
    release_checked(zero, ZC, zpool);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_decode<KEST_FUZZ_RECORD>(data, size);
    return 0;
}
