/* The public header has to serve plain C99 callers: built with -std=c99 -Wpedantic,
 * this drives two messages through the C API and exits non-zero on any mismatch. */
#include <kest.h>

#include <stdlib.h>
#include <string.h>

static int live;

static void *c_alloc(uint64_t size, void *ctx) {
    (void)ctx;
    ++live;
    return malloc(size ? (size_t)size : 1);
}

static void c_release(void *block, void *ctx) {
    (void)ctx;
    --live;
    free(block);
}

#define WIDTH(type, member) sizeof(((type *)0)->member)

int main(void) {
    static const uint8_t hi[] = {0x68, 0x69};
    static const uint8_t opaque_wire[] = {0x08, 0xAC, 0x02, 0x1A, 0x02, 0x68, 0x69};
    static const uint8_t neg_wire[] = {0x30, 0x01, 0x80, 0x01, 0x96, 0x01, 0x88, 0x01, 0x01};
    uint8_t buf[16];
    kest_segment seg[2];
    uint32_t nseg = 2;
    srg_opaque o = {300, 0, hi, 2, 0x05}, od = {0, 0, NULL, 0, 0};
    srg_neg_msg n, nd;

    if (WIDTH(srg_opaque, present) != 1 || WIDTH(srg_cmd_msg, present) != 2 || WIDTH(srg_sync_msg, present) != 2 ||
        WIDTH(srg_neg_msg, present) != 2 || WIDTH(srg_opq_dhcpv4_msg, present) != 8 ||
        WIDTH(ia_id_msg, present) != 2 || WIDTH(srg_opq_dhcpv6_msg, present) != 4 || WIDTH(kest_segment, len) != 8)
        return 1;
    if (kest_srg_opaque_encode_ext(&o, buf, sizeof buf, seg, &nseg, 0) != sizeof opaque_wire ||
        memcmp(buf, opaque_wire, sizeof opaque_wire) != 0 || nseg != 1 || seg[0].base != buf)
        return 2;
    if (kest_srg_opaque_decode_ext(&od, buf, sizeof opaque_wire, c_alloc, NULL, 0) != KEST_OK || od.f1 != 300 ||
        od.present != 0x05 || od.f3_len != 2 || memcmp(od.f3, hi, 2) != 0 || live != 1)
        return 3;
    kest_srg_opaque_free_ext(&od, c_release, NULL, 0);
    if (live != 0) return 4;

    memset(&n, 0, sizeof n);
    n.f6 = true;
    n.f16 = 150;
    n.f17 = 1;
    n.present = 0x1820;
    if (kest_srg_neg_msg_encode_ext(&n, buf, sizeof buf, NULL, NULL) != sizeof neg_wire ||
        memcmp(buf, neg_wire, sizeof neg_wire) != 0)
        return 5;
    memset(&nd, 0, sizeof nd);
    if (kest_srg_neg_msg_decode_ext(&nd, neg_wire, sizeof neg_wire) != KEST_OK || !nd.f6 || nd.f16 != 150 ||
        nd.f17 != 1 || nd.present != 0x1820)
        return 6;
    kest_srg_neg_msg_free_ext(&nd);
    return 0;
}
