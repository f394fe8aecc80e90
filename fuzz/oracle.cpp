// Google's protobuf as an oracle, for the message named by -message=NAME. The first
// byte says what the rest is. Wire bytes (even): where kest (in both modes) and protobuf
// both accept, they read the same values; where only one does, the input holds one of
// the differences the README lists, found by a walk of our own. The makings of a record
// (odd): kest's encoding parses in protobuf to the same values and serializes back to
// the same bytes.
#include "mutator.hpp"
#include "proto_map.hpp"

#include <cstring>

namespace {
using namespace kt;

// Whether the input holds what makes the parsers part: a byte string or a run arriving
// twice, a group, a known field with another wire type, a varint over ten bytes (a tag
// or a length over five), field number 0, a tag or a length beyond 32 bits, a bool
// whose value lies beyond its low 32 bits.
template <class R>
bool may_differ(const uint8_t *p, const uint8_t *end) {
    uint64_t seen = 0;
    int last = -1;
    while (p != end) {
        uint64_t tag, v;
        unsigned n, m;
        if (!get_varint(p, end, tag, n)) return false;  // cut: both refuse
        if (n > 5 || tag >> 32) return true;
        const uint32_t number = uint32_t(tag >> 3), wire = tag & 7;
        if (number == 0 || wire == 3 || wire == 4) return true;
        int index = -1;
        bool differs = false, nested = false, is_bool = false;
        kc::for_each_field<R>([&]<class F, size_t I>() {
            if (F::tag::number != number) return;
            index = int(I);
            is_bool = kind_of<F> == kc::kind::boolean;
            if (wire != F::tag::wire) return void(differs = true);
            if (wire == kc::wire_len) {
                const bool run = F::what == kc::kind::message;
                differs = (seen >> I & 1) && (!run || last != int(I));
                seen |= uint64_t{1} << I;
                if constexpr (F::what == kc::kind::message) {
                    const uint8_t *q = p;
                    uint64_t len;
                    unsigned k;
                    nested = get_varint(q, end, len, k) && k <= 5 && !(len >> 32) && len <= uint64_t(end - q) &&
                             may_differ<typename F::element>(q, q + len);
                }
            }
        });
        if (differs || nested) return true;
        last = index;
        switch (wire) {
        case kc::wire_varint:
            if (!get_varint(p, end, v, m)) return false;
            if (m > 10 || (is_bool && v >> 32)) return true;
            break;
        case kc::wire_fixed64:
        case kc::wire_fixed32: {
            const uint64_t size = wire == kc::wire_fixed64 ? 8 : 4;
            if (uint64_t(end - p) < size) return false;
            p += size;
            break;
        }
        case kc::wire_len:
            if (!get_varint(p, end, v, m)) return false;
            if (m > 5 || v >> 32) return true;
            if (v > uint64_t(end - p)) return false;
            p += v;
            break;
        default: return false;  // wire types 6 and 7: both refuse
        }
    }
    return false;
}

template <class R>
void check_wire(Input in) {
    using P = typename proto_of<R>::type;
    P theirs;
    const bool protobuf = theirs.ParseFromArray(in.data(), int(in.size()));
    theirs.DiscardUnknownFields();  // nested ones too: kest keeps none
    for (uint32_t flags : {0u, ZC}) {
        kest::record<R> ours;
        const bool kest = ours.decode(in, kest::mode(flags)) == kest::errc::ok;
        P mine;
        if (const std::string e = to_proto(*ours, mine); !e.empty()) trap(e);
        if (kest == protobuf && (!kest || mine.SerializeAsString() == theirs.SerializeAsString())) continue;
        if (!may_differ<R>(in.data(), in.data() + in.size()))
            trap(kest != protobuf ? std::string(kest ? "kest" : "protobuf") + " alone accepts " + hex(in)
                                  : "they read otherwise: " + hex(in));
    }
}

template <class R>
void check_record(Input makings) {
    FuzzBytes src{makings.data(), makings.data() + makings.size()};
    std::deque<Bytes> store;
    const R m = build<R>(src, store);
    const Bytes wire = kest::encode(m);
    typename proto_of<R>::type theirs, mine;
    if (const std::string e = to_proto(m, mine); !e.empty()) trap(e);
    if (!theirs.ParseFromArray(wire.data(), int(wire.size()))) trap("protobuf refuses " + hex(wire));
    const std::string back = theirs.SerializeAsString();
    if (back != mine.SerializeAsString() || Bytes(back.begin(), back.end()) != wire)
        trap("protobuf reads otherwise or writes other bytes: " + hex(wire));
}

void (*check)(const uint8_t *, size_t) = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    std::string_view name = kest::name_of<srg_opaque>;
    int kept = 1;  // the flag is ours: libFuzzer reads the rest after this
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-message=", 9) == 0)
            name = (*argv)[i] + 9;
        else
            (*argv)[kept++] = (*argv)[i];
    *argc = kept;
    const bool known = kest::tool::visit_message(name, [&]<class R>() {
        check = [](const uint8_t *data, size_t size) {
            Bytes rest(data + 1, data + size);  // a block of its own, so overreads show
            data[0] & 1 ? check_record<R>(rest) : check_wire<R>(rest);
        };
    });
    if (!known) trap("no message called " + std::string(name));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size) check(data, size);
    return 0;
}
