// The JSON and stream readers on hostile text: what is accepted round-trips, the rest is an input_error.
#include "kit.hpp"
#include "tools/json_map.hpp"

#include <sstream>

namespace tool = kest::tool;

template <class R>
static void check(std::string_view text, tool::json_style style) {
    try {
        for (tool::json_reader in(text, style); !in.done();) {
            kest::record<R> rec, decoded, again;
            in.read(*rec, rec.alloc());
            const kt::Bytes wire = kest::encode(*rec);
            if (decoded.decode(wire) != kest::errc::ok || kest::encode(*decoded) != wire) kt::trap("no round trip");
            std::ostringstream out;
            tool::write_json(out, *rec, {style, false});
            tool::json_reader(out.str(), style).read(*again, again.alloc());
            if (kest::encode(*again) != wire) kt::trap("the written JSON reads otherwise: " + out.str());
        }
    } catch (const tool::input_error &) {
    }
    kest::delimited_reader stream(1 << 16);
    kest::record<R> rec;
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    for (size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 17 + 1) {
        stream.feed({bytes + at, std::min(step, text.size() - at)});
        while (stream.next(rec, kest::mode(at % 2 * kt::ZC)) == kest::stream_status::record) {
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!size) return 0;
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const size_t pick = (data[0] & 0x7F) % std::tuple_size_v<kest::messages_as<std::tuple>>;
    size_t k = 0;
    kest::for_each_message([&]<class R>() {
        if (k++ == pick) check<R>(text, data[0] & 0x80 ? tool::json_style::proto : tool::json_style::kest);
    });
    return 0;
}
