// Encodes an srg_sync_msg with a run of one element, decodes it by reference and
// lays it out for writev, all through kest.hpp.
#include <kest.hpp>

#include <cstdio>

int main() {
    static const uint8_t payload[] = {1, 2, 3};
    srg_opaque element{5, 6, payload, sizeof payload, 0x07};
    srg_sync_msg msg{};
    msg.f1 = 1;
    msg.f15 = &element;
    msg.n_f15 = 1;
    msg.present = 1u | 1u << 12;  // f1 and f15, the 1st and the 13th field

    const std::vector<uint8_t> wire = kest::encode(msg);
    kest::record<srg_sync_msg> got;  // released with the zero-copy flag at scope end
    const kest::errc rc = got.decode(wire, kest::mode::zero_copy);

    std::vector<uint8_t> buffer;
    size_t total = 0;
    for (const iovec &v : kest::encode_iovec(*got, buffer)) total += v.iov_len;
    const bool ok = rc == kest::errc::ok && got->n_f15 == 1 && got->f15[0].f2 == 6 && total == wire.size();
    std::printf("C++ consumer: %s (%s)\n", ok ? "ok" : "FAILED", kest::to_string(rc).data());
    return ok ? 0 : 1;
}
