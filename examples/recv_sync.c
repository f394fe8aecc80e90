/* Reads varint-length-framed srg_sync_msg records from stdin (as send_sync writes
   them), decodes each without copying its payloads and prints it. Exits non-zero
   on a broken stream or when nothing arrived. */
#define _POSIX_C_SOURCE 200809L
#include <kest.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void *take(uint64_t size, void *ctx) { (void)ctx; return malloc(size ? size : 1); }
static void give(void *block, void *ctx) { (void)ctx; free(block); }

/* 1: got n bytes; 0: clean end of input before the first byte; -1: error or cut short. */
static int read_full(int fd, uint8_t *p, uint64_t n) {
    uint64_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return got == 0 && r == 0 ? 0 : -1;
        got += (uint64_t)r;
    }
    return 1;
}

/* 1: a length was read; 0: end of input; -1: error. */
static int read_length(int fd, uint64_t *len) {
    uint8_t b;
    *len = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        int rc = read_full(fd, &b, 1);
        if (rc <= 0) return shift == 0 ? rc : -1;
        *len |= (uint64_t)(b & 0x7F) << shift;
        if (!(b & 0x80)) return 1;
    }
    return -1;
}

static void print_record(const srg_sync_msg *m) {
    printf("sync f1=%u f6=\"%.*s\" f11=0x%08X f18=%d, %u part(s):", (unsigned)m->f1, (int)m->f6_len,
           (const char *)m->f6, (unsigned)m->f11, (int)m->f18, (unsigned)m->n_f15);
    for (uint32_t i = 0; i < m->n_f15; ++i)
        printf(" [%u \"%.*s\"]", (unsigned)m->f15[i].f1, (int)m->f15[i].f3_len, (const char *)m->f15[i].f3);
    printf("\n");
}

int main(void) {
    unsigned count = 0;
    uint64_t len;
    int rc;
    while ((rc = read_length(STDIN_FILENO, &len)) == 1) {
        uint8_t *frame = malloc(len ? len : 1);
        srg_sync_msg msg = {0};
        int32_t result = KEST_ERR_NO_MEMORY;
        if (frame && read_full(STDIN_FILENO, frame, len) == 1)
            result = kest_srg_sync_msg_decode_ext(&msg, frame, len, take, NULL, KEST_FLAG_ZERO_COPY);
        else
            rc = -1;
        if (result == KEST_OK) print_record(&msg);
        /* Same flag as the decode: the payloads belong to `frame`, only the array is ours. */
        kest_srg_sync_msg_free_ext(&msg, give, NULL, KEST_FLAG_ZERO_COPY);
        free(frame);
        if (rc < 0 || result != KEST_OK) {
            fprintf(stderr, "recv_sync: bad frame %u (result %d)\n", count, (int)result);
            return 1;
        }
        ++count;
    }
    printf("received %u record(s)\n", count);
    return rc == 0 && count > 0 ? 0 : 1;
}
