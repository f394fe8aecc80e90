/* kest_names.h: names for C (C99 and C++), header-only, so libkest.so still exports only
 * its 28 functions: each result's name and meaning. Each field's presence bit by name,
 * KEST_SRG_SYNC_MSG_F15, comes with the records (srg.kest.h). */
#ifndef KEST_NAMES_H
#define KEST_NAMES_H

#include <kest.h>

/* "KEST_ERR_MALFORMED" for KEST_ERR_MALFORMED; "unknown result" for a value that is none. */
static inline const char *kest_result_name(int32_t rc) {
    switch (rc) {
    case KEST_OK: return "KEST_OK";
    case KEST_ERR_MALFORMED: return "KEST_ERR_MALFORMED";
    case KEST_ERR_WIRE_TYPE: return "KEST_ERR_WIRE_TYPE";
    case KEST_ERR_FIELD_TYPE: return "KEST_ERR_FIELD_TYPE";
    case KEST_ERR_NO_MEMORY: return "KEST_ERR_NO_MEMORY";
    default: return "unknown result";
    }
}

/* What a result means, in one line. */
static inline const char *kest_result_text(int32_t rc) {
    switch (rc) {
    case KEST_OK: return "success";
    case KEST_ERR_MALFORMED:
        return "the input ends inside a tag, value or length-delimited field, a length runs past "
               "the end, or a byte string or run arrives twice";
    case KEST_ERR_WIRE_TYPE: return "an unknown field arrives with wire type 3, 4, 6 or 7";
    case KEST_ERR_FIELD_TYPE: return "a known field arrives with a wire type other than its own";
    case KEST_ERR_NO_MEMORY: return "the allocator returned null, or none was given where one is needed";
    default: return "not a kest result code";
    }
}

#endif
