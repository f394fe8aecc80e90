// The conformance testee: both modes and duplicate must agree and leave nothing allocated.
#include "conformance.pb.h"
#include "kit.hpp"
#include "test_messages_proto2.kest.hpp"
#include "test_messages_proto3.kest.hpp"

#include <cstdio>
#include <string>

KEST_CODECS(CT_TEST_MESSAGES_PROTO2_OPERATIONS)
KEST_CODECS(CT_TEST_MESSAGES_PROTO3_OPERATIONS)

namespace {

template <class R>
void answer(const std::string &payload, conformance::ConformanceResponse &res) {
    const std::span in(reinterpret_cast<const uint8_t *>(payload.data()), payload.size());
    kt::Alloc books;  // keeps the books, so that a release that misses a block shows
    const kest::allocator mem{kt::Alloc::take, kt::Alloc::give, &books};
    kest::errc rc[3];
    std::string wire[3];
    {
        kest::record<R> copied(mem), borrowed(mem), duplicate(mem);
        rc[0] = copied.decode(in, kest::mode::copy);
        rc[1] = borrowed.decode(in, kest::mode::zero_copy);
        rc[2] = duplicate.copy_from(*borrowed) == kest::errc::ok ? rc[1] : kest::errc::no_memory;
        const std::vector<uint8_t> flat = kest::encode(*copied), again = kest::encode(*duplicate);
        wire[0].assign(flat.begin(), flat.end());
        wire[2].assign(again.begin(), again.end());
        std::vector<uint8_t> buffer;
        for (const iovec &v : kest::encode_iovec(*borrowed, buffer))
            wire[1].append(static_cast<const char *>(v.iov_base), v.iov_len);
    }
    if (!books.clean())
        res.set_runtime_error("blocks left allocated: " + std::to_string(books.live.size()));
    else if (rc[0] != rc[1] || rc[1] != rc[2] || wire[0] != wire[1] || wire[1] != wire[2])
        res.set_runtime_error("copy, zero-copy and duplicate disagree: " + std::string(kest::to_string(rc[0])) + ", " +
                              std::string(kest::to_string(rc[1])) + ", " + std::string(kest::to_string(rc[2])));
    else if (rc[0] != kest::errc::ok)
        res.set_parse_error(std::string(kest::to_string(rc[0])));
    else
        res.set_protobuf_payload(wire[0]);
    // The runner reports these as parse failures: the script looks for this line.
    if (res.has_runtime_error()) std::fprintf(stderr, "kest testee: %s\n", res.runtime_error().c_str());
}

bool read_exactly(void *to, size_t n) { return std::fread(to, 1, n, stdin) == n; }

}  // namespace

int main() {
    for (uint32_t len; read_exactly(&len, 4);) {  // little-endian lengths: x86-64 only
        std::string bytes(len, '\0');
        conformance::ConformanceRequest req;
        if (!read_exactly(bytes.data(), len) || !req.ParseFromString(bytes)) return 1;
        conformance::ConformanceResponse res;
        const bool binary = req.payload_case() == req.kProtobufPayload &&
                            req.requested_output_format() == conformance::PROTOBUF;
        if (req.message_type() == "conformance.FailureSet")
            res.set_protobuf_payload("");  // no list of its own: the failure list is the runner's
        else if (binary && req.message_type() == "protobuf_test_messages.proto2.TestAllTypesProto2")
            answer<TestAllTypesProto2>(req.protobuf_payload(), res);
        else if (binary && req.message_type() == "protobuf_test_messages.proto3.TestAllTypesProto3")
            answer<TestAllTypesProto3>(req.protobuf_payload(), res);
        else
            res.set_skipped("kest answers binary requests for TestAllTypesProto2 and TestAllTypesProto3 only");
        const std::string reply = res.SerializeAsString();
        len = uint32_t(reply.size());
        if (std::fwrite(&len, 4, 1, stdout) != 1 ||
            std::fwrite(reply.data(), 1, reply.size(), stdout) != reply.size() || std::fflush(stdout) != 0)
            return 1;
    }
    return 0;
}
