// CASE 0 describes the record and compiles; each other breaks one rule, failing with "expect:".
#include "core/engine.hpp"

struct elem { uint32_t f1; uint8_t present; };
template <>
struct kest::core::schema<elem> {
    using fields = field_list<field<kind::uint32, 1, "f1", KEST_MEMBER(elem, f1)>>;
};

struct rec {
    uint32_t f1; uint64_t f2; bool f3; uint32_t f4; const uint8_t *f5; uint64_t f5_len; elem *f6; uint32_t n_f6, f7, f8;
    uint8_t present;
};

namespace kest::core {
#define U32(n, r, m) field<kind::uint32, n, #m, KEST_MEMBER(r, m)>
#define U64(n, m) field<kind::uint64, n, #m, KEST_MEMBER(rec, m)>
// Every kind, the numbers at both ends of their range, all eight presence bits in use.
#define MIDDLE field<kind::boolean, 3, "f3", KEST_MEMBER(rec, f3)>, field<kind::fixed32, 4, "f4", KEST_MEMBER(rec, f4)>, \
    field<kind::bytes, 5, "f5", KEST_MEMBER(rec, f5), KEST_MEMBER(rec, f5_len)>
#define RUN field<kind::message, 6, "f6", KEST_MEMBER(rec, f6), KEST_MEMBER(rec, n_f6)>
#if CASE == 0
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7), U32(2047, rec, f8)
#elif CASE == 1  // expect: strictly ascending
#define FIELDS U32(1, rec, f1), U64(1, f2), MIDDLE, RUN, U32(7, rec, f7), U32(8, rec, f8)
#elif CASE == 2  // expect: from 1 to 536870911
#define FIELDS U32(0, rec, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7), U32(8, rec, f8)
#elif CASE == 3  // expect: from 1 to 536870911
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7), U32(536870912, rec, f8)
#elif CASE == 4  // expect: the described members, in order, then `present`
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7)
#elif CASE == 5  // expect: fewer bits than there are fields
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7), U32(8, rec, f8), U32(9, rec, f8)
#elif CASE == 6  // expect: do not match the kind
#define FIELDS U32(1, rec, f1), U32(2, rec, f2), MIDDLE, RUN, U32(7, rec, f7), U32(8, rec, f8)
#elif CASE == 7  // expect: a member of the described record
#define FIELDS U32(1, elem, f1), U64(2, f2), MIDDLE, RUN, U32(7, rec, f7), U32(8, rec, f8)
#elif CASE == 8  // expect: do not match the kind
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, field<kind::bytes, 6, "f6", KEST_MEMBER(rec, f5), KEST_MEMBER(rec, f7)>, U32(8, rec, f8)
#elif CASE == 9  // expect: do not match the kind
#define FIELDS U32(1, rec, f1), U64(2, f2), MIDDLE, field<kind::message, 6, "f6", KEST_MEMBER(rec, f6), KEST_MEMBER(rec, f2)>, U32(7, rec, f7)
#endif
template <>
struct schema<rec> {
    using fields = field_list<FIELDS>;
};
static_assert(check_description<rec>());
}  // namespace kest::core
