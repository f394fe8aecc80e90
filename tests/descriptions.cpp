// Descriptions of one record: CASE 0 fits it and compiles; every other case breaks
// one rule and must fail to compile with the message after "expect:".
#include "core/engine.hpp"

struct elem { uint32_t f1; uint8_t present; };
template <>
struct kest::core::schema<elem> {
    using fields = field_list<u32<1, &elem::f1>>;
};

struct rec {
    uint32_t f1; uint64_t f2; bool f3; uint32_t f4; const uint8_t *f5; uint64_t f5_len; elem *f6; uint32_t n_f6, f7, f8;
    uint8_t present;
};

namespace kest::core {
// Every kind, the numbers at both ends of their range, all eight presence bits in use.
#define MIDDLE boolean<3, &rec::f3>, fixed32<4, &rec::f4>, bytes<5, &rec::f5, &rec::f5_len>
#define RUN repeated<6, &rec::f6, &rec::n_f6>
#if CASE == 0
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<2047, &rec::f8>
#elif CASE == 1  // expect: strictly ascending
#define FIELDS u32<1, &rec::f1>, u64<1, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<8, &rec::f8>
#elif CASE == 2  // expect: from 1 to 2047
#define FIELDS u32<0, &rec::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<8, &rec::f8>
#elif CASE == 3  // expect: from 1 to 2047
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<2048, &rec::f8>
#elif CASE == 4  // expect: the described members, in order, then `present`
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>
#elif CASE == 5  // expect: fewer bits than there are fields
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<8, &rec::f8>, u32<9, &rec::f8>
#elif CASE == 6  // expect: does not match its kind
#define FIELDS u32<1, &rec::f1>, u32<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<8, &rec::f8>
#elif CASE == 7  // expect: a member of the described record
#define FIELDS u32<1, &elem::f1>, u64<2, &rec::f2>, MIDDLE, RUN, u32<7, &rec::f7>, u32<8, &rec::f8>
#elif CASE == 8  // expect: a byte string is
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, bytes<6, &rec::f5, &rec::f7>, u32<8, &rec::f8>
#elif CASE == 9  // expect: a run is
#define FIELDS u32<1, &rec::f1>, u64<2, &rec::f2>, MIDDLE, repeated<6, &rec::f6, &rec::f2>, u32<7, &rec::f7>
#endif
template <>
struct schema<rec> {
    using fields = field_list<FIELDS>;
};
static_assert(check_description<rec>());
}  // namespace kest::core
