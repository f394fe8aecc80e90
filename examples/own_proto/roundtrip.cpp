// Random telemetry reports both ways between kest's generated codecs and Google
// protobuf's: what one writes the other reads to the same values, and writes back to
// the same bytes.
#include "telemetry.kest.h"
#include "telemetry.pb.h"

#include <kest.hpp>

#include <cstdio>
#include <deque>
#include <random>
#include <string>

KEST_CODECS(TM_TELEMETRY_OPERATIONS)  // kest::record, kest::encode for these records too

namespace {

std::mt19937_64 rng(7);
bool coin() { return rng() & 1; }
uint64_t any64() { return rng() >> (rng() % 64); }  // every varint width
std::string any_bytes() { return std::string(rng() % 20, char(rng())); }
std::string any_text() { return std::string(rng() % 20, char('a' + rng() % 26)); }  // protobuf wants UTF-8

// ---- kest's records as protobuf's messages, field by field ----

bool same_bytes(bool has, const uint8_t *p, uint64_t n, bool pb_has, const std::string &s) {
    return has == pb_has && (!has || std::string(reinterpret_cast<const char *>(p), n) == s);
}

bool same(const Reading &k, const telemetry::Reading &p) {
    const auto has = [&](int bit) { return (k.present >> bit & 1) != 0; };
    return has(0) == p.has_sensor() && (!has(0) || k.f1 == p.sensor()) && has(1) == p.has_time_ns() &&
           (!has(1) || k.f2 == p.time_ns()) && has(2) == p.has_valid() && (!has(2) || k.f3 == p.valid()) &&
           has(3) == p.has_raw() && (!has(3) || k.f4 == p.raw()) &&
           same_bytes(has(4), k.f5, k.f5_len, p.has_sample(), p.sample()) &&
           same_bytes(has(5), k.f6, k.f6_len, p.has_unit(), p.unit());
}

bool same(const Probe &k, const telemetry::Probe &p);

// A run is on the wire when its bit is set and it has elements.
template <class E, class P>
bool same_run(bool has, const E *e, uint32_t n, const google::protobuf::RepeatedPtrField<P> &p) {
    if (uint32_t(p.size()) != (has ? n : 0)) return false;
    for (int i = 0; i < p.size(); ++i)
        if (!same(e[i], p[i])) return false;
    return true;
}

// The bits by name, as telemetry.kest.h defines them.
bool same(const Probe &k, const telemetry::Probe &p) {
    return same_bytes(k.present & TM_PROBE_NAME, k.f1, k.f1_len, p.has_name(), p.name()) &&
           same_run(k.present & TM_PROBE_READINGS, k.f2, k.n_f2, p.readings());
}

bool same(const Report &k, const telemetry::Report &p) {
    const bool sequence = k.present & TM_REPORT_SEQUENCE, last = k.present & TM_REPORT_FINAL;
    return sequence == p.has_sequence() && (!sequence || k.f1 == p.sequence()) &&
           same_run(k.present & TM_REPORT_PROBES, k.f2, k.n_f2, p.probes()) &&
           same_bytes(k.present & TM_REPORT_SIGNATURE, k.f3, k.f3_len, p.has_signature(), p.signature()) &&
           last == p.has_final() && (!last || k.f17 == p.final());
}

// ---- random records of each side ----

std::deque<std::string> store;  // the payloads and element arrays of kest's records
const uint8_t *keep(std::string s, uint64_t &len) {
    len = s.size();
    return reinterpret_cast<const uint8_t *>(store.emplace_back(std::move(s)).data());
}
template <class E>
E *array(uint32_t n) {
    return reinterpret_cast<E *>(store.emplace_back(n * sizeof(E), '\0').data());
}

Reading random_reading() {
    Reading r{};
    r.f1 = uint32_t(any64());
    r.f2 = any64();
    r.f3 = coin();
    r.f4 = uint32_t(rng());
    r.f5 = keep(any_bytes(), r.f5_len);
    r.f6 = keep(any_text(), r.f6_len);
    r.present = uint8_t(rng() & 0x3F);
    return r;
}

Probe random_probe() {
    Probe p{};
    p.f1 = keep(any_text(), p.f1_len);
    p.n_f2 = uint32_t(rng() % 4);
    p.f2 = array<Reading>(p.n_f2);
    for (uint32_t i = 0; i < p.n_f2; ++i) p.f2[i] = random_reading();
    p.present = uint8_t(rng() & 3);
    return p;
}

Report random_report() {
    Report r{};
    r.f1 = any64();
    r.n_f2 = uint32_t(rng() % 4);
    r.f2 = array<Probe>(r.n_f2);
    for (uint32_t i = 0; i < r.n_f2; ++i) r.f2[i] = random_probe();
    r.f3 = keep(any_bytes(), r.f3_len);
    r.f17 = coin();
    r.present = uint8_t(rng() & 0xF);
    return r;
}

void random_reading(telemetry::Reading &r) {
    if (coin()) r.set_sensor(uint32_t(any64()));
    if (coin()) r.set_time_ns(any64());
    if (coin()) r.set_valid(coin());
    if (coin()) r.set_raw(uint32_t(rng()));
    if (coin()) r.set_sample(any_bytes());
    if (coin()) r.set_unit(any_text());
}

void random_report(telemetry::Report &r) {
    if (coin()) r.set_sequence(any64());
    for (uint64_t i = rng() % 4; i > 0; --i) {
        telemetry::Probe &p = *r.add_probes();
        if (coin()) p.set_name(any_text());
        for (uint64_t j = rng() % 4; j > 0; --j) random_reading(*p.add_readings());
    }
    if (coin()) r.set_signature(any_bytes());
    if (coin()) r.set_final(coin());
}

}  // namespace

int main() {
    int failed = 0;
    // Every message of the file: an empty record is empty on the wire, and back.
    kest::for_each_message<KEST_MESSAGE_LIST(TM_TELEMETRY_MESSAGES)>([&]<class R>() {
        kest::record<R> got;
        if (kest::encoded_size(R{}) != 0 || got.decode({}) != kest::errc::ok || got->present) ++failed;
    });
    for (int i = 0; i < 2000; ++i) {
        // kest writes, protobuf reads and writes the same bytes.
        const Report mine = random_report();
        const std::vector<uint8_t> wire = kest::encode(mine);
        telemetry::Report theirs;
        if (!theirs.ParseFromArray(wire.data(), int(wire.size())) || !same(mine, theirs) ||
            theirs.SerializeAsString() != std::string(wire.begin(), wire.end()))
            ++failed;

        // protobuf writes, kest reads (copying and in place) and writes the same bytes.
        telemetry::Report sent;
        random_report(sent);
        const std::string bytes = sent.SerializeAsString();
        for (kest::mode how : {kest::mode::copy, kest::mode::zero_copy}) {
            kest::record<Report> got;
            if (got.decode({reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()}, how) != kest::errc::ok ||
                !same(*got, sent) || kest::encode(*got) != std::vector<uint8_t>(bytes.begin(), bytes.end()))
                ++failed;
        }
        store.clear();
    }
    std::printf("own_proto: %s (2000 random reports each way)\n", failed ? "FAILED" : "ok");
    return failed != 0;
}
