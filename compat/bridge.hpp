// Moves records between libkest and Google's protobuf. One walk over the engine's
// compile-time field lists, with protobuf reflection on the other side, serves
// all seven messages.
#pragma once

#include "dhcp/srg_opq_dhcpv4_msg.hpp"
#include "dhcp/srg_opq_dhcpv6_msg.hpp"
#include "srg.pb.h"
#include "srg/srg_cmd_msg.hpp"
#include "srg/srg_neg_msg.hpp"
#include "srg/srg_sync_msg.hpp"
#include "support.hpp"

#include <kest.hpp>

#include <deque>
#include <memory>
#include <random>
#include <string>
#include <string_view>

namespace compat {

namespace pb = google::protobuf;
using kest::core::for_each_field;
using kest::core::schema;
using kt::Bytes;

// The exported C functions, overloaded by record so templates can call them.
#define COMPAT_CODEC(M)                                                                          \
    inline uint64_t encode(const M &m, uint8_t *b, uint64_t n, kest_segment *s, uint32_t *ns,    \
                           uint32_t flags) {                                                     \
        return kest_##M##_encode_ext(&m, b, n, s, ns, flags);                                    \
    }                                                                                            \
    inline int32_t decode(M &m, const uint8_t *b, uint64_t n, kest_alloc_fn a, void *c,          \
                          uint32_t flags) {                                                      \
        return kest_##M##_decode_ext(&m, b, n, a, c, flags);                                     \
    }                                                                                            \
    inline void release(M &m, kest_free_fn r, void *c, uint32_t flags) { kest_##M##_free_ext(&m, r, c, flags); }
COMPAT_CODEC(srg_opaque)
COMPAT_CODEC(srg_cmd_msg)
COMPAT_CODEC(srg_sync_msg)
COMPAT_CODEC(srg_opq_dhcpv4_msg)
COMPAT_CODEC(ia_id_msg)
COMPAT_CODEC(srg_opq_dhcpv6_msg)
#undef COMPAT_CODEC
// The generated protobuf class of each record.
template <class R>
struct proto_for;
#define COMPAT_PROTO(M)          \
    template <>                  \
    struct proto_for<M> {        \
        using type = kest::srg::M; \
    };
COMPAT_PROTO(srg_opaque)
COMPAT_PROTO(srg_cmd_msg)
COMPAT_PROTO(srg_sync_msg)
COMPAT_PROTO(srg_neg_msg)
COMPAT_PROTO(srg_opq_dhcpv4_msg)
COMPAT_PROTO(ia_id_msg)
COMPAT_PROTO(srg_opq_dhcpv6_msg)
#undef COMPAT_PROTO
template <class R>
using proto_of = typename proto_for<R>::type;

inline uint64_t encode(const srg_neg_msg &m, uint8_t *b, uint64_t n, kest_segment *s, uint32_t *ns, uint32_t) {
    return kest_srg_neg_msg_encode_ext(&m, b, n, s, ns);
}
inline int32_t decode(srg_neg_msg &m, const uint8_t *b, uint64_t n, kest_alloc_fn, void *, uint32_t) {
    return kest_srg_neg_msg_decode_ext(&m, b, n);
}
inline void release(srg_neg_msg &m, kest_free_fn, void *, uint32_t) { kest_srg_neg_msg_free_ext(&m); }

template <class R>
Bytes encode_copy(const R &m) {
    Bytes out(encode(m, nullptr, 0, nullptr, nullptr, 0));
    encode(m, out.data(), out.size(), nullptr, nullptr, 0);
    return out;
}

// Zero-copy encode: `buf` keeps the buffer runs that the segments point into.
template <class R>
std::vector<kest_segment> encode_segments(const R &m, Bytes &buf) {
    uint32_t n = 0;
    buf.resize(encode(m, nullptr, 0, nullptr, &n, KEST_FLAG_ZERO_COPY));
    std::vector<kest_segment> segs(n);
    encode(m, buf.data(), buf.size(), segs.data(), &n, KEST_FLAG_ZERO_COPY);
    segs.resize(n);
    return segs;
}

inline Bytes join(const std::vector<kest_segment> &segs) {
    Bytes out;
    for (const auto &s : segs) out.insert(out.end(), s.base, s.base + s.len);
    return out;
}

inline std::string to_hex(std::string_view s) {
    return kt::to_hex(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

template <class F>
constexpr std::string_view kind = F::kind::name;

template <class R>
bool has(const R &m, size_t i) {
    return (uint64_t{m.present} >> i) & 1;
}

template <class R>
const pb::FieldDescriptor *field(const pb::Message &p, uint32_t number) {
    const pb::FieldDescriptor *fd = p.GetDescriptor()->FindFieldByNumber(static_cast<int>(number));
    EXPECT_NE(fd, nullptr) << kest::name_of<R> << " has no field " << number << " in the .proto";
    return fd;
}

// Random records with payloads and element arrays that live as long as the source.
struct Source {
    std::mt19937_64 rng;
    std::deque<Bytes> payloads;
    std::deque<std::shared_ptr<void>> arrays;

    explicit Source(uint64_t seed) : rng(seed) {}

    // Every varint length is as likely as any other.
    template <class T>
    T value() {
        const unsigned width = rng() % (sizeof(T) * 8 + 1);
        return width ? static_cast<T>(rng() >> (64 - width)) : T{0};
    }
    const Bytes &payload() {
        const size_t n = rng() % 8 == 0 ? 128 + rng() % 300 : rng() % 24;
        Bytes &b = payloads.emplace_back(n);
        for (auto &c : b) c = static_cast<uint8_t>(rng());
        return b;
    }

    template <class R>
    R record() {
        R m{};
        for_each_field<R>([&]<class F, size_t I>() {
            if (rng() % 3 == 0) return;  // leave about a third absent
            m.present |= kest::core::bit<R, I>;
            if constexpr (kind<F> == "bytes") {
                const Bytes &b = payload();
                m.*F::member = b.data();
                m.*F::length = b.size();
            } else if constexpr (kind<F> == "repeated") {
                using E = typename F::element;
                auto array = std::make_shared<std::vector<E>>(rng() % 4);  // 0 elements sends nothing
                for (auto &e : *array) e = record<E>();
                arrays.push_back(array);
                m.*F::member = array->data();
                m.*F::count = static_cast<uint32_t>(array->size());
            } else if constexpr (kind<F> == "bool") {
                m.*F::member = rng() & 1;
            } else {
                m.*F::member = value<std::remove_cvref_t<decltype(m.*F::member)>>();
            }
        });
        return m;
    }
};

template <class R>
void to_proto(const R &m, pb::Message &out) {
    const pb::Reflection *r = out.GetReflection();
    for_each_field<R>([&]<class F, size_t I>() {
        const pb::FieldDescriptor *fd = field<R>(out, F::tag::number);
        if (!fd || !has(m, I)) return;
        if constexpr (kind<F> == "uint32" || kind<F> == "fixed32")
            r->SetUInt32(&out, fd, m.*F::member);
        else if constexpr (kind<F> == "uint64")
            r->SetUInt64(&out, fd, m.*F::member);
        else if constexpr (kind<F> == "bool")
            r->SetBool(&out, fd, m.*F::member);
        else if constexpr (kind<F> == "bytes")
            r->SetString(&out, fd, std::string(reinterpret_cast<const char *>(m.*F::member), m.*F::length));
        else
            for (uint32_t i = 0; i < m.*F::count; ++i)
                to_proto((m.*F::member)[i], *r->AddMessage(&out, fd));
    });
}

// Same presence, values, element counts and contents. A repeated field whose bit
// is set but whose count is 0 is sent as nothing, so it matches an empty field.
template <class R>
void expect_same(const R &m, const pb::Message &p) {
    const pb::Reflection *r = p.GetReflection();
    for_each_field<R>([&]<class F, size_t I>() {
        const pb::FieldDescriptor *fd = field<R>(p, F::tag::number);
        if (!fd) return;
        SCOPED_TRACE(std::string(kest::name_of<R>) + ".f" + std::to_string(F::tag::number));
        if constexpr (kind<F> == "repeated") {
            const uint32_t n = has(m, I) ? m.*F::count : 0;
            ASSERT_EQ(r->FieldSize(p, fd), static_cast<int>(n));
            for (uint32_t i = 0; i < n; ++i)
                expect_same((m.*F::member)[i], r->GetRepeatedMessage(p, fd, static_cast<int>(i)));
        } else {
            ASSERT_EQ(r->HasField(p, fd), has(m, I));
            if (!has(m, I)) return;
            if constexpr (kind<F> == "uint32" || kind<F> == "fixed32")
                EXPECT_EQ(r->GetUInt32(p, fd), m.*F::member);
            else if constexpr (kind<F> == "uint64")
                EXPECT_EQ(r->GetUInt64(p, fd), m.*F::member);
            else if constexpr (kind<F> == "bool")
                EXPECT_EQ(r->GetBool(p, fd), m.*F::member);
            else
                EXPECT_EQ(to_hex(r->GetString(p, fd)), kt::to_hex(m.*F::member, m.*F::length));
        }
    });
}

// Decodes `wire` with libkest and checks the record against `want`; every block
// the decode took must come back through free_ext.
template <class R>
void expect_decodes_to(const uint8_t *wire, size_t len, uint32_t flags, const pb::Message &want) {
    SCOPED_TRACE(flags & KEST_FLAG_ZERO_COPY ? "zero-copy decode" : "copying decode");
    kt::Tracker t;
    R m{};
    EXPECT_EQ(decode(m, wire, len, kt::Tracker::alloc, &t, flags), KEST_OK);
    expect_same(m, want);
    release(m, kt::Tracker::release, &t, flags);
    t.expect_clean();
}

}  // namespace compat
