// The fuzz target of one message (KEST_FUZZ_RECORD), or of every message generated
// from other .proto files (KEST_FUZZ_GENERATED and _TOO, their lists KEST_FUZZ_MESSAGES and
// KEST_FUZZ_OPERATIONS), picked by the first byte's upper bits: every verdict of the
// test kit; a broken one traps, so that libFuzzer keeps the input. Wire inputs are
// also edited field by field (mutator.hpp).
#include "kit.hpp"
#include "mutator.hpp"

#ifdef KEST_FUZZ_GENERATED
#include KEST_FUZZ_GENERATED
#ifdef KEST_FUZZ_GENERATED_TOO  // a second file, its lists KEST_FUZZ_MESSAGES_TOO and KEST_FUZZ_OPERATIONS_TOO
#include KEST_FUZZ_GENERATED_TOO
#else
#define KEST_FUZZ_MESSAGES_TOO(X)
#define KEST_FUZZ_OPERATIONS_TOO(X)
#endif
KEST_CODECS(KEST_FUZZ_OPERATIONS)
KEST_CODECS(KEST_FUZZ_OPERATIONS_TOO)

#define KEST_FUZZ_COUNT_(M) +1
#define KEST_FUZZ_PICK_(M) \
    if (k++ == pick) return kt::check_all<M>(in);
std::string check_picked(kt::Input in) {
    const size_t pick = in.empty() ? 0 : (in[0] >> 1) % (0 KEST_FUZZ_MESSAGES(KEST_FUZZ_COUNT_) KEST_FUZZ_MESSAGES_TOO(KEST_FUZZ_COUNT_));
    size_t k = 0;
    KEST_FUZZ_MESSAGES(KEST_FUZZ_PICK_)
    KEST_FUZZ_MESSAGES_TOO(KEST_FUZZ_PICK_)
    return "";
}
#else
std::string check_picked(kt::Input in) { return kt::check_all<KEST_FUZZ_RECORD>(in); }
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (const std::string broken = check_picked({data, size}); !broken.empty()) kt::trap(broken);
    return 0;
}
