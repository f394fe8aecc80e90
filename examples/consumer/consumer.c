/* Encodes an srg_opaque into a stack buffer and decodes it back. */
#include <kest.h>
#include <kest_version.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void *take(uint64_t size, void *ctx) { (void)ctx; return malloc(size ? size : 1); }
static void give(void *block, void *ctx) { (void)ctx; free(block); }

int main(void) {
    static const uint8_t payload[] = {0xCA, 0xFE};
    srg_opaque sent = {0}, got = {0};
    sent.f1 = 7;
    sent.f3 = payload;
    sent.f3_len = sizeof payload;
    sent.present = 0x05;

    uint8_t buf[16];
    uint64_t n = kest_srg_opaque_encode_ext(&sent, buf, sizeof buf, NULL, NULL, 0);
    int ok = n <= sizeof buf && kest_srg_opaque_decode_ext(&got, buf, n, take, NULL, 0) == KEST_OK &&
             got.present == sent.present && got.f1 == 7 && got.f3_len == sizeof payload &&
             memcmp(got.f3, payload, sizeof payload) == 0;
    kest_srg_opaque_free_ext(&got, give, NULL, 0);
    printf("C consumer: %s (kest %s)\n", ok ? "ok" : "FAILED", KEST_VERSION_STRING);
    return ok ? 0 : 1;
}
