// The kit's verdicts on KEST_FUZZ_RECORD, or on the own messages the first byte picks.
#include "kit.hpp"
#include "mutator.hpp"

#ifdef KEST_FUZZ_OWN
#include "own_codecs.hpp"
using Messages = KEST_MESSAGE_LIST(OWN_MESSAGES);
#else
using Messages = kest::message_list<KEST_FUZZ_RECORD>;
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t k = 0, pick = size ? (data[0] >> 1) % std::tuple_size_v<Messages::as<std::tuple>> : 0;
    kest::for_each_message<Messages>([&]<class R>() {
        if (const std::string broken = k++ == pick ? kt::check_all<R>({data, size}) : ""; !broken.empty()) kt::trap(broken);
    });
    return 0;
}
