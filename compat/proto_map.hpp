// A record's values in protobuf's own message, for the comparison tests and the oracle
// fuzz target. The .proto must name and type every field as the description does.
#pragma once

#include "kit.hpp"
#include "srg.pb.h"

#include <string>

namespace kt {
namespace pb = google::protobuf;

template <class R>
struct proto_of;
#define KEST_PROTO_(M) \
    template <>        \
    struct proto_of<M> { using type = kest::srg::M; };
KEST_MESSAGES(KEST_PROTO_)
#undef KEST_PROTO_

// Field by field through reflection; returns where the .proto and the description part.
template <class R>
std::string to_proto(const R &m, pb::Message &out) {
    const pb::Reflection *r = out.GetReflection();
    const pb::Descriptor *d = out.GetDescriptor();
    if (d->name() != kest::name_of<R> || d->field_count() != int(kc::fields_of<R>::size))
        return "the .proto's " + d->name() + " is not described as " + std::string(kest::name_of<R>);
    std::string e;
    kc::for_each_field<R>([&]<class F, size_t I>() {
        const pb::FieldDescriptor *fd = d->FindFieldByNumber(F::tag::number);
        if (!fd || fd->name() != F::name || fd->is_packed() || fd->is_repeated() != F::repeated ||
            fd->type_name() != kc::proto_type_name(F::what))
            e += d->name() + " field " + std::to_string(F::tag::number) + " differs from its description; ";
        if (!e.empty() || !has<R, I>(m)) return;
        const auto &v = m.*F::member;
        if constexpr (F::what == kc::kind::uint32 || F::what == kc::kind::fixed32)
            r->SetUInt32(&out, fd, v);
        else if constexpr (F::what == kc::kind::uint64)
            r->SetUInt64(&out, fd, v);
        else if constexpr (F::what == kc::kind::boolean)
            r->SetBool(&out, fd, v);
        else if constexpr (F::what == kc::kind::bytes)
            r->SetString(&out, fd, std::string(reinterpret_cast<const char *>(v), m.*F::length));
        else
            for (uint32_t i = 0; i < m.*F::count; ++i) e += to_proto(v[i], *r->AddMessage(&out, fd));
    });
    return e;
}

}  // namespace kt
