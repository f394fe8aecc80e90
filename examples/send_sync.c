/* Writes three srg_sync_msg records to stdout, each framed as a varint length and
   the message (protobuf's delimited framing). The zero-copy segments go straight
   to writev, so the payloads are never copied. Pipe it into recv_sync. */
#define _POSIX_C_SOURCE 200809L
#include <kest.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

enum { MAX_SEGS = 16 };

/* writev may stop early; resume where it did. */
static int write_all(int fd, struct iovec *iov, int n) {
    while (n > 0) {
        ssize_t done = writev(fd, iov, n);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return -1;
        for (; n > 0 && (size_t)done >= iov->iov_len; ++iov, --n) done -= (ssize_t)iov->iov_len;
        if (n > 0) {
            iov->iov_base = (uint8_t *)iov->iov_base + done;
            iov->iov_len -= (size_t)done;
        }
    }
    return 0;
}

static int send_record(int fd, const srg_sync_msg *msg) {
    uint32_t nsegs = 0;
    uint64_t need = kest_srg_sync_msg_encode_ext(msg, NULL, 0, NULL, &nsegs, KEST_FLAG_ZERO_COPY);
    uint8_t *buf = malloc(need ? need : 1);
    kest_segment segs[MAX_SEGS];
    struct iovec iov[MAX_SEGS + 1];
    uint8_t prefix[10];
    uint64_t total = 0;
    int n = 1, rc;
    if (!buf || nsegs > MAX_SEGS) {
        free(buf);
        return -1;
    }
    kest_srg_sync_msg_encode_ext(msg, buf, need, segs, &nsegs, KEST_FLAG_ZERO_COPY);
    for (uint32_t i = 0; i < nsegs; ++i, ++n) {
        iov[n].iov_base = (void *)segs[i].base;
        iov[n].iov_len = segs[i].len;
        total += segs[i].len;
    }
    iov[0].iov_base = prefix;
    iov[0].iov_len = 0;
    do {
        prefix[iov[0].iov_len++] = (uint8_t)((total & 0x7F) | (total >= 0x80 ? 0x80 : 0));
        total >>= 7;
    } while (total);
    rc = write_all(fd, iov, n);
    free(buf); /* only after the write: the segments point into it */
    return rc;
}

int main(void) {
    static const char *const chunks[] = {"alpha", "beta", "gamma"};
    for (uint32_t seq = 1; seq <= 3; ++seq) {
        char node[32];
        srg_opaque parts[3];
        srg_sync_msg msg;
        memset(&msg, 0, sizeof msg);
        memset(parts, 0, sizeof parts);
        snprintf(node, sizeof node, "node-%u", (unsigned)seq);
        for (uint32_t i = 0; i < seq; ++i) {
            parts[i].f1 = i;
            parts[i].f3 = (const uint8_t *)chunks[i];
            parts[i].f3_len = strlen(chunks[i]);
            parts[i].present = 0x01 | 0x04;
        }
        msg.f1 = seq;
        msg.f6 = (const uint8_t *)node;
        msg.f6_len = strlen(node);
        msg.f11 = 0xC0000200u + seq;
        msg.f15 = parts;
        msg.n_f15 = seq;
        msg.f18 = seq == 3;
        /* Bits follow record order: f1, f6, f11, f15 and f18 are bits 0, 5, 10, 12, 15. */
        msg.present = 1u << 0 | 1u << 5 | 1u << 10 | 1u << 12 | 1u << 15;
        if (send_record(STDOUT_FILENO, &msg) != 0) {
            perror("send_sync");
            return 1;
        }
    }
    return 0;
}
