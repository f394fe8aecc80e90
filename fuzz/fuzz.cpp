// The kit's verdicts on KEST_FUZZ_RECORD, or on the own messages the first byte picks.
#include "kit.hpp"
#include "mutator.hpp"

#ifdef KEST_FUZZ_OWN
#include "own_codecs.hpp"

#define KEST_FUZZ_COUNT_(M) +1
#define KEST_FUZZ_PICK_(M) \
    if (k++ == pick) return kt::check_all<M>(in);
std::string check_picked(kt::Input in) {
    const size_t pick = in.empty() ? 0 : (in[0] >> 1) % (0 OWN_MESSAGES(KEST_FUZZ_COUNT_));
    size_t k = 0;
    OWN_MESSAGES(KEST_FUZZ_PICK_)
    return "";
}
#else
std::string check_picked(kt::Input in) { return kt::check_all<KEST_FUZZ_RECORD>(in); }
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (const std::string broken = check_picked({data, size}); !broken.empty()) kt::trap(broken);
    return 0;
}
