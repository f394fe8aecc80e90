// A record's values in protobuf's message; the .proto must name and type every field alike.
#pragma once

#include "kit.hpp"
#include "srg.pb.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <string>

namespace kt {
namespace pb = google::protobuf;

// protobuf's message for a record, by name: srg.proto's, or the own files' if linked (Outer_Inner is Outer.Inner).
template <class R>
std::unique_ptr<pb::Message> pb_of() {
    std::string name(kest::name_of<R>), nested = name;
    std::replace(nested.begin(), nested.end(), '_', '.');
    for (const std::string &full : {"kest.srg." + name, "telemetry." + nested, "implicit." + nested})
        if (const pb::Descriptor *d = kest::srg::srg_opaque::descriptor()->file()->pool()->FindMessageTypeByName(full))
            return std::unique_ptr<pb::Message>(pb::MessageFactory::generated_factory()->GetPrototype(d)->New());
    return nullptr;
}

template <class T>
void put_scalar(pb::Message &out, const pb::FieldDescriptor *fd, T v) {
    using Rf = pb::Reflection;
    const Rf *r = out.GetReflection();
    const auto put = [&](auto set, auto add) { fd->is_repeated() ? (r->*add)(&out, fd, v) : (r->*set)(&out, fd, v); };
    if constexpr (std::is_same_v<T, kest_bytes>) {
        r->AddString(&out, fd, std::string(reinterpret_cast<const char *>(v.data), v.len));
    } else if (fd->type() == pb::FieldDescriptor::TYPE_ENUM) {
        const int n = int(v);
        if (!fd->enum_type()->FindValueByNumber(n) && fd->file()->syntax() != pb::FileDescriptor::SYNTAX_PROTO3)
            r->MutableUnknownFields(&out)->AddVarint(fd->number(), uint64_t(int64_t(n)));  // where its parser keeps it
        else
            fd->is_repeated() ? r->AddEnumValue(&out, fd, n) : r->SetEnumValue(&out, fd, n);
    } else if constexpr (std::is_same_v<T, bool>) put(&Rf::SetBool, &Rf::AddBool);
    else if constexpr (std::is_same_v<T, float>) put(&Rf::SetFloat, &Rf::AddFloat);
    else if constexpr (std::is_same_v<T, double>) put(&Rf::SetDouble, &Rf::AddDouble);
    else if constexpr (std::is_same_v<T, uint32_t>) put(&Rf::SetUInt32, &Rf::AddUInt32);
    else if constexpr (std::is_same_v<T, uint64_t>) put(&Rf::SetUInt64, &Rf::AddUInt64);
    else if constexpr (std::is_same_v<T, int32_t>) put(&Rf::SetInt32, &Rf::AddInt32);
    else put(&Rf::SetInt64, &Rf::AddInt64);
}

// Field by field through reflection; returns where the .proto and the description part.
template <class R>
std::string to_proto(const R &m, pb::Message &out) {
    const pb::Reflection *r = out.GetReflection();
    const pb::Descriptor *d = out.GetDescriptor();
    std::string name = d->full_name().substr(d->file()->package().empty() ? 0 : d->file()->package().size() + 1);
    std::replace(name.begin(), name.end(), '.', '_');  // Outer.Inner is Outer_Inner
    if (name != kest::name_of<R> || d->field_count() != int(kc::fields_of<R>::size))
        return "the .proto's " + d->name() + " is not described as " + std::string(kest::name_of<R>);
    std::string e;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        const pb::FieldDescriptor *fd = d->FindFieldByNumber(F::tag::number);
        if (!fd || fd->name() != F::name || fd->is_packed() != (F::scalars && F::tag::wire == kc::wire_len && F::what != kc::kind::bytes) ||
            fd->is_repeated() != F::repeated ||
            (fd->type_name() != kc::proto_type_name(F::what) &&
             !(F::what == kc::kind::bytes && fd->type() == pb::FieldDescriptor::TYPE_STRING)))
            e += d->name() + " field " + std::to_string(F::tag::number) + " differs from its description; ";
        if (!e.empty() || !has<R, I>(m)) return;
        const auto &v = m.*F::member;
        if constexpr (F::scalars)
            for (uint32_t i = 0; i < m.*F::count; ++i) put_scalar(out, fd, v[i]);
        else if constexpr (F::what == kc::kind::bytes)
            r->SetString(&out, fd, std::string(reinterpret_cast<const char *>(v), m.*F::length));
        else if constexpr (F::single)
            e += v ? to_proto(*v, *r->MutableMessage(&out, fd)) : "";
        else if constexpr (F::what == kc::kind::message)
            for (uint32_t i = 0; i < m.*F::count; ++i) e += to_proto(v[i], *r->AddMessage(&out, fd));
        else
            put_scalar(out, fd, v);
    });
    return e;
}

// Maps by key, so that equal messages serialize alike.
inline std::string bytes_of(const pb::Message &m) {
    std::string out;
    pb::io::StringOutputStream stream(&out);
    pb::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    m.SerializeToCodedStream(&coded);
    coded.Trim();
    return out;
}

// Odd input, kest's result, whether protobuf accepts it, and (where both do) whether alike.
struct Parting { const char *what, *hex; int32_t kest; bool protobuf, same = true; };

template <class R, class P>
std::string parts_as_listed(std::initializer_list<Parting> rows) {
    std::string broken;
    for (const Parting &c : rows) {
        const Bytes wire = hex(c.hex);
        P theirs, mine;
        kest::record<R> got;
        const bool protobuf = theirs.ParseFromArray(wire.data(), int(wire.size()));
        const auto rc = int32_t(got.decode(wire));
        theirs.GetReflection()->MutableUnknownFields(&theirs)->Clear();
        const Bytes ours = kest::encode(*got);
        const bool same = rc || !protobuf || (to_proto(*got, mine).empty() && bytes_of(mine) == bytes_of(theirs) &&
                                              std::string(ours.begin(), ours.end()) == bytes_of(theirs));
        if (rc != c.kest || protobuf != c.protobuf || same != c.same)
            broken += std::string(c.what) + ": kest " + std::to_string(rc) + (protobuf ? ", protobuf accepts" : "") +
                      (same ? "" : ", they read otherwise") + "\n";
    }
    return broken;
}

}  // namespace kt
