/* Encodes a sample srg_opaque, in copy and in zero-copy mode, and decodes it back. */
#include <kest_names.h>

#include <stdio.h>
#include <stdlib.h>

static void *take(uint64_t size, void *ctx) { (void)ctx; return malloc(size ? size : 1); }
static void give(void *block, void *ctx) { (void)ctx; free(block); }

static void print_hex(const char *label, const uint8_t *p, uint64_t n) {
    printf("%s", label);
    for (uint64_t i = 0; i < n; ++i) printf(" %02X", p[i]);
    printf("\n");
}

static void print_record(const char *label, const srg_opaque *m) {
    printf("%s: present=0x%02X f1=%u f2=%u", label, (unsigned)m->present, (unsigned)m->f1, (unsigned)m->f2);
    print_hex(" f3 =", m->f3, m->f3_len);
}

static int roundtrip(const srg_opaque *msg, uint32_t flags) {
    /* First call sizes the buffer and the segment vector, the second fills them. */
    uint32_t nsegs = 0;
    uint64_t need = kest_srg_opaque_encode_ext(msg, NULL, 0, NULL, &nsegs, flags);
    uint8_t *buf = malloc(need ? need : 1);
    kest_segment *segs = malloc(sizeof(kest_segment) * (nsegs ? nsegs : 1));
    uint64_t used = kest_srg_opaque_encode_ext(msg, buf, need, segs, &nsegs, flags);

    /* The segments, written one after the other, are the message. */
    uint64_t total = 0;
    for (uint32_t i = 0; i < nsegs; ++i) total += segs[i].len;
    uint8_t *wire = malloc(total ? total : 1);
    uint64_t at = 0;
    for (uint32_t i = 0; i < nsegs; ++i) {
        for (uint64_t j = 0; j < segs[i].len; ++j) wire[at + j] = segs[i].base[j];
        at += segs[i].len;
    }
    printf("%s: %llu buffer bytes, %u segment(s), %llu wire bytes\n",
           flags ? "zero-copy" : "copy", (unsigned long long)used, nsegs, (unsigned long long)total);
    print_hex("  wire:", wire, total);

    srg_opaque back = {0};
    int32_t rc = kest_srg_opaque_decode_ext(&back, wire, total, take, NULL, flags);
    printf("  decode result %d\n", (int)rc);
    print_record("  decoded", &back);
    int ok = rc == KEST_OK && back.present == msg->present && back.f1 == msg->f1 &&
             back.f2 == msg->f2 && back.f3_len == msg->f3_len;
    for (uint64_t i = 0; ok && i < back.f3_len; ++i) ok = back.f3[i] == msg->f3[i];
    /* Release with the same flag as the decode: zero-copy payloads belong to `wire`. */
    kest_srg_opaque_free_ext(&back, give, NULL, flags);
    free(wire);
    free(segs);
    free(buf);
    return ok;
}

int main(void) {
    static const uint8_t payload[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x2A};
    srg_opaque msg = {0};
    msg.f1 = 300;
    msg.f2 = 7;
    msg.f3 = payload;
    msg.f3_len = sizeof payload;
    msg.present = KEST_SRG_OPAQUE_F1 | KEST_SRG_OPAQUE_F2 | KEST_SRG_OPAQUE_F3;
    print_record("sample", &msg);
    int ok = roundtrip(&msg, 0) && roundtrip(&msg, KEST_FLAG_ZERO_COPY);
    printf(ok ? "round trip ok\n" : "round trip FAILED\n");
    return ok ? 0 : 1;
}
