/* The app.c of "Your own messages" in the README: a Reading of
 * examples/own_proto/telemetry.proto through the codecs protoc-gen-kest writes for it
 * (prefix tm_), linked with them alone. */
#include "telemetry.kest.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void *take(uint64_t size, void *ctx) { (void)ctx; return malloc(size ? size : 1); }
static void give(void *block, void *ctx) { (void)ctx; free(block); }

int main(void) {
    static const uint8_t unit[] = {'m', 'V'};
    Reading sent = {0}, got = {0};
    sent.f1 = 3;
    sent.f2 = 1700000000123456789ull;  /* time_ns, beyond 32 bits */
    sent.f6 = unit;
    sent.f6_len = sizeof unit;
    sent.present = TM_READING_SENSOR | TM_READING_TIME_NS | TM_READING_UNIT;

    uint8_t buf[32];
    uint64_t n = tm_Reading_encode_ext(&sent, buf, sizeof buf, NULL, NULL, 0);
    int ok = n <= sizeof buf && tm_Reading_decode_ext(&got, buf, n, take, NULL, 0) == KEST_OK &&
             got.present == sent.present && got.f1 == 3 && got.f2 == sent.f2 &&
             got.f6_len == sizeof unit && memcmp(got.f6, unit, sizeof unit) == 0;
    tm_Reading_free_ext(&got, give, NULL, 0);
    printf("app: %s (%u wire bytes)\n", ok ? "ok" : "FAILED", (unsigned)n);
    return ok ? 0 : 1;
}
