/* kest_types.h: what every kest codec shares, results, flags, segments and the
 * caller's memory callbacks; the records of each .proto come in a header of their own. */
#ifndef KEST_TYPES_H
#define KEST_TYPES_H

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

/* One of a repeated bytes or string field's values. */
typedef struct kest_bytes {
    const uint8_t *data;
    uint64_t len;
} kest_bytes;

typedef void *(*kest_alloc_fn)(uint64_t size, void *alloc_ctx);
typedef void (*kest_free_fn)(void *block, void *release_ctx);

#ifdef __cplusplus
}
#endif

#endif
