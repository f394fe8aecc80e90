// protobuf as an oracle: wire bytes (even first byte) read alike but for the README's differences; records (odd).
#include "mutator.hpp"
#include "proto_map.hpp"

#include <bitset>
#include <google/protobuf/descriptor.pb.h>
#include <cstring>

#ifdef KEST_ORACLE_OWN  // the messages the plugin writes for telemetry.proto and implicit.proto
#include "implicit.pb.h"
#include "own_codecs.hpp"
#include "telemetry.pb.h"
#endif

namespace {
using namespace kt;

// Whether the input holds one of the README's differences between the parsers.
template <class R>
bool may_differ(Input in, const pb::Descriptor *d) {
    const uint8_t *p = in.data(), *end = p + in.size();
    std::bitset<kc::fields_of<R>::size> seen;
    int last = -1, entries = 0;
    std::string maps;  // the map entries as they came, for protobuf to count the keys
    while (p != end) {
        const uint8_t *field = p;
        uint64_t tag, v;
        unsigned n, m;
        if (!get_varint(p, end, tag, n)) return false;  // cut: both refuse
        if (n > 5 || tag >> 32) return true;
        const uint32_t number = uint32_t(tag >> 3), wire = tag & 7;
        if (number == 0 || wire == 3 || wire == 4) return true;
        const pb::FieldDescriptor *fd = d->FindFieldByNumber(int(number));
        const bool closed = fd && fd->enum_type() && fd->file()->syntax() == pb::FileDescriptor::SYNTAX_PROTO2;
        int index = -1;
        bool differs = false, nested = false, is_bool = false, packed_varints = false;
        kc::for_each_field<R>([&]<class F, size_t I>() {
            if (F::tag::number != number) return;
            index = int(I);
            is_bool = kind_of<F> == kc::kind::boolean;
            if constexpr (F::scalars && kind_of<F> != kc::kind::bytes) {  // both read either form, concatenated
                constexpr uint32_t own = kc::scalar_kind<F::what>::wire;
                packed_varints = wire == kc::wire_len && own == kc::wire_varint;
                return void(differs = wire != own && wire != kc::wire_len);
            }
            if (wire != F::tag::wire) return void(differs = true);
            if (wire == kc::wire_len && !F::scalars) {
                differs = seen[I] && (!F::repeated || last != int(I));
                seen.set(I);
                if constexpr (F::what == kc::kind::message) {
                    const uint8_t *q = p;
                    uint64_t len;
                    unsigned k;
                    nested = get_varint(q, end, len, k) && k <= 5 && !(len >> 32) && len <= uint64_t(end - q) &&
                             may_differ<typename F::element>(Input(q, len), fd->message_type());
                }
            }
        });
        if (differs || nested) return true;
        last = index;
        const auto odd = [&](uint64_t x, unsigned k) {  // protobuf keeps an undeclared closed value apart
            return k > 10 || (is_bool && x >> 32) || (closed && !fd->enum_type()->FindValueByNumber(int(uint32_t(x))));
        };
        switch (wire) {
        case kc::wire_varint:
            if (!get_varint(p, end, v, m)) return false;
            if (odd(v, m)) return true;
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
            for (const uint8_t *q = p; packed_varints && get_varint(q, p + v, tag, n);)
                if (odd(tag, n)) return true;
            if (fd && fd->type() == pb::FieldDescriptor::TYPE_STRING && fd->file()->syntax() == pb::FileDescriptor::SYNTAX_PROTO3 &&
                !pb::internal::IsStructurallyValidUTF8(reinterpret_cast<const char *>(p), int(v)))
                return true;
            if (fd && fd->is_map() && index >= 0) maps.append(field, p + v), ++entries;
            p += v;
            break;
        default: return false;  // wire types 6 and 7: both refuse
        }
    }
    if (!entries) return false;
    // kest keeps every entry of a key that comes twice, protobuf the last
    std::unique_ptr<pb::Message> kept(pb::MessageFactory::generated_factory()->GetPrototype(d)->New());
    if (!kept->ParseFromString(maps)) return false;
    for (int i = 0; i < d->field_count(); ++i)
        if (d->field(i)->is_map()) entries -= kept->GetReflection()->FieldSize(*kept, d->field(i));
    return entries > 0;
}

// Whether m holds a map entry, which protobuf writes in its own order, key and value always.
bool has_map(const pb::Message &m) {
    const pb::Reflection *r = m.GetReflection();
    std::vector<const pb::FieldDescriptor *> fields;
    r->ListFields(m, &fields);
    for (const pb::FieldDescriptor *fd : fields)
        for (int i = 0; fd->cpp_type() == pb::FieldDescriptor::CPPTYPE_MESSAGE && i < (fd->is_repeated() ? r->FieldSize(m, fd) : 1); ++i)
            if (fd->is_map() || has_map(fd->is_repeated() ? r->GetRepeatedMessage(m, fd, i) : r->GetMessage(m, fd))) return true;
    return false;
}

template <class R>
void check_wire(Input in) {
    const auto theirs = pb_of<R>();
    const bool protobuf = theirs->ParseFromArray(in.data(), int(in.size()));
    theirs->DiscardUnknownFields();  // nested ones too: kest keeps none
    for (uint32_t flags : {0u, ZC}) {
        kest::record<R> ours;
        const bool kest = ours.decode(in, kest::mode(flags)) == kest::errc::ok;
        const auto mine = pb_of<R>();
        if (const std::string e = to_proto(*ours, *mine); !e.empty()) trap(e);
        if (kest == protobuf && (!kest || bytes_of(*mine) == bytes_of(*theirs))) continue;
        if (!may_differ<R>(in, theirs->GetDescriptor()))
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
    const auto theirs = pb_of<R>(), mine = pb_of<R>();
    if (may_differ<R>(wire, theirs->GetDescriptor())) return;  // a record protobuf reads otherwise by design
    if (const std::string e = to_proto(m, *mine); !e.empty()) trap(e);
    if (!theirs->ParseFromArray(wire.data(), int(wire.size()))) trap("protobuf refuses " + hex(wire));
    const std::string back = bytes_of(*theirs);
    if (back != bytes_of(*mine) || (Bytes(back.begin(), back.end()) != wire && !has_map(*theirs)))
        trap("protobuf reads otherwise or writes other bytes: " + hex(wire));
}

template <class R>
void check_as(const uint8_t *data, size_t size) {
    Bytes rest(data + 1, data + size);  // a block of its own, so overreads show
    data[0] & 1 ? check_record<R>(rest) : check_wire<R>(rest);
}

std::vector<void (*)(const uint8_t *, size_t)> checks;  // what the first byte's upper bits pick from

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    std::string_view name;
    int kept = 1;  // the flag is ours: libFuzzer reads the rest after this
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-message=", 9) == 0)
            name = (*argv)[i] + 9;
        else
            (*argv)[kept++] = (*argv)[i];
    *argc = kept;
#ifdef KEST_ORACLE_OWN
    using Messages = KEST_MESSAGE_LIST(OWN_MESSAGES);
    telemetry::Gauge::descriptor(), implicit::Scalars::descriptor();  // links their files, for pb_of
#else
    using Messages = kest::library_messages;
    name = name.empty() ? kest::name_of<srg_opaque> : name;
#endif
    kest::for_each_message<Messages>([&]<class R>() {  // a map's entry is no message of its own
        if ((name.empty() || name == kest::name_of<R>) && !pb_of<R>()->GetDescriptor()->options().map_entry())
            checks.push_back(check_as<R>);
    });
    if (checks.empty()) trap("no message called " + std::string(name));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size) checks[(data[0] >> 1) % checks.size()](data, size);
    return 0;
}
