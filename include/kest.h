/* kest: codecs for the srg message family, Protocol Buffers wire format. The records
 * and the 28 functions are generated from proto/srg.proto (srg.kest.h). */
#ifndef KEST_H
#define KEST_H

#include <kest_types.h>
#include <srg.kest.h>

/* Every message of the library, once. Whatever iterates over the messages (the
 * C++ layer, the tool, the tests, the fuzzers, the benchmark, the export check)
 * expands this list: X(record) for each. */
#define KEST_MESSAGES(X) KEST_SRG_MESSAGES(X)

#endif
