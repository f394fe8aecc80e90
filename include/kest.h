/* kest: codecs for the srg message family, Protocol Buffers wire format. */
#ifndef KEST_H
#define KEST_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KEST_OK 0
#define KEST_ERR_MALFORMED (-1)
#define KEST_ERR_WIRE_TYPE (-2)
#define KEST_ERR_FIELD_TYPE (-3)
#define KEST_ERR_NO_MEMORY (-4)

#define KEST_FLAG_ZERO_COPY 1u

typedef struct kest_segment {
    const uint8_t *base;
    uint64_t len;
} kest_segment;

typedef void *(*kest_alloc_fn)(uint64_t size, void *alloc_ctx);
typedef void (*kest_free_fn)(void *block, void *release_ctx);

typedef struct srg_opaque {
    uint32_t f1;
    uint32_t f2;
    const uint8_t *f3;
    uint64_t f3_len;
    uint8_t present;
} srg_opaque;

typedef struct srg_cmd_msg {
    uint32_t f1;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint32_t f5;
    uint32_t f11;
    uint32_t f12;
    const uint8_t *f13;
    uint64_t f13_len;
    uint32_t f14;
    uint32_t f15;
    uint16_t present;
} srg_cmd_msg;

typedef struct srg_sync_msg {
    uint32_t f1;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint32_t f5;
    const uint8_t *f6;
    uint64_t f6_len;
    uint32_t f7;
    uint32_t f8;
    uint32_t f9;
    uint32_t f10;
    uint32_t f11;
    const uint8_t *f12;
    uint64_t f12_len;
    srg_opaque *f15;
    uint32_t n_f15;
    uint32_t f16;
    uint32_t f17;
    bool f18;
    uint16_t present;
} srg_sync_msg;

typedef struct srg_neg_msg {
    uint32_t f1;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint32_t f5;
    bool f6;
    uint32_t f7;
    uint32_t f8;
    bool f9;
    uint32_t f10;
    uint32_t f15;
    uint32_t f16;
    uint32_t f17;
    uint16_t present;
} srg_neg_msg;

typedef struct srg_opq_dhcpv4_msg {
    const uint8_t *f1;
    uint64_t f1_len;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint32_t f5;
    uint32_t f6;
    uint32_t f7;
    uint32_t f8;
    uint32_t f9;
    const uint8_t *f10;
    uint64_t f10_len;
    uint32_t f11;
    uint32_t f12;
    uint32_t f13;
    uint32_t f14;
    uint32_t f15;
    uint32_t f16;
    uint32_t f17;
    const uint8_t *f18;
    uint64_t f18_len;
    uint32_t f19;
    uint32_t f20;
    uint32_t f21;
    uint64_t f22;
    const uint8_t *f23;
    uint64_t f23_len;
    const uint8_t *f24;
    uint64_t f24_len;
    const uint8_t *f25;
    uint64_t f25_len;
    const uint8_t *f26;
    uint64_t f26_len;
    const uint8_t *f27;
    uint64_t f27_len;
    uint32_t f28;
    const uint8_t *f29;
    uint64_t f29_len;
    const uint8_t *f30;
    uint64_t f30_len;
    uint32_t f31;
    uint32_t f32;
    const uint8_t *f33;
    uint64_t f33_len;
    const uint8_t *f34;
    uint64_t f34_len;
    uint32_t f35;
    uint32_t f36;
    uint32_t f37;
    uint32_t f38;
    uint64_t present;
} srg_opq_dhcpv4_msg;

typedef struct ia_id_msg {
    uint32_t f1;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint32_t f5;
    uint32_t f6;
    uint32_t f7;
    uint32_t f8;
    const uint8_t *f9;
    uint64_t f9_len;
    uint32_t f10;
    uint32_t f11;
    uint32_t f12;
    uint32_t f13;
    uint32_t f14;
    uint32_t f15;
    uint16_t present;
} ia_id_msg;

typedef struct srg_opq_dhcpv6_msg {
    uint32_t f1;
    uint32_t f2;
    uint32_t f3;
    uint32_t f4;
    uint64_t f5;
    const uint8_t *f6;
    uint64_t f6_len;
    const uint8_t *f7;
    uint64_t f7_len;
    const uint8_t *f8;
    uint64_t f8_len;
    const uint8_t *f9;
    uint64_t f9_len;
    const uint8_t *f10;
    uint64_t f10_len;
    const uint8_t *f11;
    uint64_t f11_len;
    const uint8_t *f12;
    uint64_t f12_len;
    uint32_t f13;
    ia_id_msg *f14;
    uint32_t n_f14;
    const uint8_t *f15;
    uint64_t f15_len;
    const uint8_t *f16;
    uint64_t f16_len;
    const uint8_t *f17;
    uint64_t f17_len;
    const uint8_t *f18;
    uint64_t f18_len;
    const uint8_t *f19;
    uint64_t f19_len;
    const uint8_t *f20;
    uint64_t f20_len;
    const uint8_t *f21;
    uint64_t f21_len;
    const uint8_t *f22;
    uint64_t f22_len;
    uint32_t f23;
    const uint8_t *f24;
    uint64_t f24_len;
    uint32_t f25;
    const uint8_t *f26;
    uint64_t f26_len;
    const uint8_t *f27;
    uint64_t f27_len;
    uint32_t present;
} srg_opq_dhcpv6_msg;

uint64_t kest_srg_opaque_encode_ext(const srg_opaque *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_srg_opaque_decode_ext(srg_opaque *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_srg_opaque_duplicate(srg_opaque *dst, const srg_opaque *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_srg_opaque_free_ext(srg_opaque *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

uint64_t kest_srg_cmd_msg_encode_ext(const srg_cmd_msg *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_srg_cmd_msg_decode_ext(srg_cmd_msg *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_srg_cmd_msg_duplicate(srg_cmd_msg *dst, const srg_cmd_msg *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_srg_cmd_msg_free_ext(srg_cmd_msg *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

uint64_t kest_srg_sync_msg_encode_ext(const srg_sync_msg *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_srg_sync_msg_decode_ext(srg_sync_msg *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_srg_sync_msg_duplicate(srg_sync_msg *dst, const srg_sync_msg *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_srg_sync_msg_free_ext(srg_sync_msg *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

uint64_t kest_srg_opq_dhcpv4_msg_encode_ext(const srg_opq_dhcpv4_msg *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_srg_opq_dhcpv4_msg_decode_ext(srg_opq_dhcpv4_msg *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_srg_opq_dhcpv4_msg_duplicate(srg_opq_dhcpv4_msg *dst, const srg_opq_dhcpv4_msg *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_srg_opq_dhcpv4_msg_free_ext(srg_opq_dhcpv4_msg *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

uint64_t kest_ia_id_msg_encode_ext(const ia_id_msg *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_ia_id_msg_decode_ext(ia_id_msg *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_ia_id_msg_duplicate(ia_id_msg *dst, const ia_id_msg *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_ia_id_msg_free_ext(ia_id_msg *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

uint64_t kest_srg_opq_dhcpv6_msg_encode_ext(const srg_opq_dhcpv6_msg *msg, uint8_t *buf, uint64_t buflen,
                kest_segment *segs, uint32_t *nsegs, uint32_t flags);
int32_t kest_srg_opq_dhcpv6_msg_decode_ext(srg_opq_dhcpv6_msg *msg, const uint8_t *buf, uint64_t buflen,
                kest_alloc_fn alloc, void *alloc_ctx, uint32_t flags);
int32_t kest_srg_opq_dhcpv6_msg_duplicate(srg_opq_dhcpv6_msg *dst, const srg_opq_dhcpv6_msg *src, kest_alloc_fn alloc, void *alloc_ctx);
void kest_srg_opq_dhcpv6_msg_free_ext(srg_opq_dhcpv6_msg *msg, kest_free_fn release, void *release_ctx, uint32_t flags);

/* srg_neg_msg owns no memory, so its operations take no callbacks and no flags. */
uint64_t kest_srg_neg_msg_encode_ext(const srg_neg_msg *msg, uint8_t *buf, uint64_t buflen,
                                     kest_segment *segs, uint32_t *nsegs);
int32_t kest_srg_neg_msg_decode_ext(srg_neg_msg *msg, const uint8_t *buf, uint64_t buflen);
int32_t kest_srg_neg_msg_duplicate(srg_neg_msg *dst, const srg_neg_msg *src);
void kest_srg_neg_msg_free_ext(srg_neg_msg *msg);

/* Every message of the library, once. Whatever iterates over the messages (the
 * C++ layer, the tool, the tests, the fuzzers, the benchmark, the export check)
 * expands this list: X(record) for each. */
#define KEST_MESSAGES(X)  \
    X(srg_opaque)         \
    X(srg_cmd_msg)        \
    X(srg_sync_msg)       \
    X(srg_neg_msg)        \
    X(srg_opq_dhcpv4_msg) \
    X(ia_id_msg)          \
    X(srg_opq_dhcpv6_msg)

#ifdef __cplusplus
}
#endif

#endif
