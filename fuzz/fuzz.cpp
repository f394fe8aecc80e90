// The fuzz target of one message (KEST_FUZZ_RECORD): every verdict of the test kit;
// a broken one traps, so that libFuzzer keeps the input. Wire inputs are also edited
// field by field (mutator.hpp).
#include "kit.hpp"
#include "mutator.hpp"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (const std::string broken = kt::check_all<KEST_FUZZ_RECORD>({data, size}); !broken.empty()) {
        std::fprintf(stderr, "%s\n", broken.c_str());
        __builtin_trap();
    }
    return 0;
}
