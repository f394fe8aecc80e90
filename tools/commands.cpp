// The tool's commands. The codecs are the exported C functions of libkest.so; the JSON
// mapping and the field listing walk the field lists that those codecs are built from.
#include "commands.hpp"
#include "json_map.hpp"
#include "samples.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>

namespace kest::tool {
namespace {

std::string input_name(const std::string &file) {
    return file.empty() || file == "-" ? "standard input" : file;
}

int open_input(const std::string &file) {
    const int fd = input_name(file) == "standard input" ? 0 : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw input_error("cannot open " + file + ": " + std::strerror(errno));
    return fd;
}

std::string read_input(const std::string &file) {
    const int fd = open_input(file);
    std::string data;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) data.reserve(static_cast<size_t>(st.st_size) + 1);
    ssize_t n = 0;
    for (char chunk[1 << 16]; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        data.append(chunk, static_cast<size_t>(n));
    }
    const int failed = n < 0 ? errno : 0;
    if (fd) ::close(fd);
    if (failed) throw input_error("cannot read " + input_name(file) + ": " + std::strerror(failed));
    return data;
}

json_format format(const options &o) { return {o.proto ? json_style::proto : json_style::kest, o.delimited}; }

void report(std::string_view command, std::string_view message, errc rc, const std::string &where = "") {
    std::cerr << "kest " << command << ' ' << message << ": " << where << to_string(rc) << " ("
              << static_cast<int>(rc) << "): " << describe(rc) << '\n';
}

// Names a record of a stream in a message: where it starts, in bytes of the input.
std::string record_at(uint64_t count, uint64_t offset) {
    return "record " + std::to_string(count) + " at byte " + std::to_string(offset) + ": ";
}

// One JSON line per record of a delimited stream, written as each record arrives.
template <class R>
int decode_stream(const options &o) {
    const int fd = open_input(o.file);
    delimited_reader in(o.max_length);
    record<R> rec;
    const mode how = o.zero_copy ? mode::zero_copy : mode::copy;
    for (uint64_t count = 0;; ++count) {
        const uint64_t at = in.offset();
        stream_status s;
        while ((s = in.next(rec, how)) == stream_status::need_more) {
            const ssize_t n = in.read_from(fd);
            if (n < 0) throw input_error("cannot read " + input_name(o.file) + ": " + std::strerror(errno));
            if (n > 0) continue;
            if (in.buffered()) throw input_error(record_at(count, at) + "the stream ends inside it");
            return 0;
        }
        if (s == stream_status::too_long)
            throw input_error(record_at(count, at) + "longer than --max-length " + std::to_string(o.max_length));
        if (s == stream_status::bad_length) throw input_error(record_at(count, at) + "invalid length");
        if (s == stream_status::bad_record) {
            report("decode", name_of<R>, in.error(), record_at(count, at));
            if (!o.partial) return 1;
        }
        write_json(std::cout, *rec, format(o));
        std::cout << '\n';
        if (s == stream_status::bad_record) return 1;
    }
}

struct decode_command {
    template <class R>
    static int run(const options &o) {
        if (o.delimited) return decode_stream<R>(o);
        const std::string text = read_input(o.file);
        const std::vector<uint8_t> unhexed = o.hex ? from_hex(text, true) : std::vector<uint8_t>();
        const std::span<const uint8_t> wire = o.hex ? std::span<const uint8_t>(unhexed)
                                                    : std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size());
        record<R> rec;  // declared after the input, which a zero-copy decode borrows from
        const errc rc = rec.decode(wire, o.zero_copy ? mode::zero_copy : mode::copy);
        if (rc != errc::ok) report("decode", name_of<R>, rc);
        if (rc == errc::ok || o.partial) {
            write_json(std::cout, *rec, format(o));
            std::cout << '\n';
        }
        return rc == errc::ok ? 0 : 1;
    }
};

// Reads the one record of the input, or with --delimited each of them in turn: none
// from an empty input, which is the empty stream.
template <class R, class Fn>
void read_records(const options &o, Fn &&fn) {
    const std::string text = read_input(o.file);
    json_reader in(text, format(o).style);
    if (!o.delimited) {
        record<R> rec;
        in.read(*rec, rec.alloc());
        in.finish();
        return fn(*rec);
    }
    for (uint64_t count = 0; !in.done(); ++count) {
        const size_t at = in.offset();
        record<R> rec;
        try {
            in.read(*rec, rec.alloc());
        } catch (const input_error &e) {
            throw input_error(record_at(count, at) + e.what());
        }
        fn(*rec);
    }
}

struct encode_command {
    template <class R>
    static int run(const options &o) {
        delimited_writer out(STDOUT_FILENO);
        read_records<R>(o, [&](const R &m) {
            if (o.delimited) {
                if (!out.write(m)) throw input_error(std::string("cannot write standard output: ") + std::strerror(errno));
                return;
            }
            const std::vector<uint8_t> wire = kest::encode(m);
            if (o.hex)
                std::cout << to_hex(wire.data(), wire.size()) << '\n';
            else
                std::cout.write(reinterpret_cast<const char *>(wire.data()), static_cast<std::streamsize>(wire.size()));
        });
        return 0;
    }
};

// Where each byte payload lives, so a payload segment can be named by its member.
template <class R>
void payload_owners(const R &m, const std::string &path,
                    std::vector<std::pair<const void *, std::string>> &out) {
    core::for_each_field<R>([&]<class F, size_t>() {
        constexpr core::kind kind = kind_of<F>;
        if constexpr (kind == core::kind::bytes) {
            if (m.*F::member) out.emplace_back(m.*F::member, path + member_name<F>());
        } else if constexpr (kind == core::kind::message) {
            for (uint32_t k = 0; k < m.*F::count; ++k)
                payload_owners((m.*F::member)[k], path + member_name<F>() + "[" + std::to_string(k) + "].",
                               out);
        }
    });
}

struct segments_command {
    template <class R>
    static int run(const options &o) {
        read_records<R>(o, [](const R &m) { show_segments(m); });
        return 0;
    }

    template <class R>
    static void show_segments(const R &m) {
        std::vector<uint8_t> buffer;
        const std::vector<iovec> iov = encode_iovec(m, buffer);
        std::vector<std::pair<const void *, std::string>> owners;
        payload_owners(m, "", owners);

        uint64_t wire_bytes = 0;
        for (const iovec &v : iov) wire_bytes += v.iov_len;
        std::cout << name_of<R> << ", zero-copy: " << iov.size() << (iov.size() == 1 ? " segment, " : " segments, ") << buffer.size()
                  << " buffer bytes, " << wire_bytes << " wire bytes\n";
        std::cout << "   #  wire offset  length  kind\n";
        const auto start = reinterpret_cast<uintptr_t>(buffer.data());
        uint64_t offset = 0;
        for (size_t i = 0; i < iov.size(); ++i) {
            const auto base = reinterpret_cast<uintptr_t>(iov[i].iov_base);
            std::cout << std::setw(4) << i << std::setw(13) << offset << std::setw(8) << iov[i].iov_len
                      << "  ";
            if (base >= start && base < start + buffer.size()) {
                std::cout << "buffer [" << base - start << ", " << base - start + iov[i].iov_len << ")\n";
            } else {
                std::string owner = "?";
                for (const auto &[p, name] : owners)
                    if (p == iov[i].iov_base) owner = name;
                std::cout << "payload " << owner << '\n';
            }
            offset += iov[i].iov_len;
        }
    }
};

struct sample_command {
    template <class R>
    static int run(const options &o) {
        record<R> rec;
        fill_sample(*rec, rec.alloc());
        write_json(std::cout, *rec, format(o));
        std::cout << '\n';
        return 0;
    }
};

template <class R>
std::string field_summary() {
    return std::to_string(core::fields_of<R>::size) + " fields, " +
           std::to_string(8 * sizeof(core::presence_t<R>)) + "-bit presence mask, " +
           (core::owns_memory<R> ? "owns memory" : "owns no memory");
}

struct list_command {
    template <class R>
    static int run(const options &) {
        std::cout << name_of<R> << ": " << field_summary<R>() << '\n';
        std::cout << "number  wire  kind      bit  members\n";
        core::for_each_field<R>([&]<class F, size_t I>() {
            constexpr core::kind kind = kind_of<F>;
            const std::string name = member_name<F>();
            std::cout << std::setw(6) << F::tag::number << std::setw(6) << F::tag::wire << "  " << std::left
                      << std::setw(8) << (F::repeated ? "repeated" : core::proto_type_name(kind)) << std::right << std::setw(5) << I << "  " << name;
            if constexpr (kind == core::kind::bytes) std::cout << ", " << name << "_len";
            if constexpr (kind == core::kind::message)
                std::cout << ", n_" << name << " (of " << name_of<typename F::element> << ')';
            std::cout << '\n';
        });
        return 0;
    }
};

int list_all() {
    for_each_message([]<class R>() {
        std::cout << std::left << std::setw(20) << name_of<R> << std::right << field_summary<R>() << '\n';
    });
    return 0;
}

// Runs the command on the record type of the message named in `o`.
template <class Command>
int dispatch(const options &o) {
    int status = 2;
    visit_message(o.message, [&]<class R>() { status = Command::template run<R>(o); });
    return status;
}

}  // namespace

int run(std::string_view command, const options &o) {
    std::ios::sync_with_stdio(false);
    if (command == "decode") return dispatch<decode_command>(o);
    if (command == "encode") return dispatch<encode_command>(o);
    if (command == "sample") return dispatch<sample_command>(o);
    if (command == "segments") return dispatch<segments_command>(o);
    if (command == "list") return o.message.empty() ? list_all() : dispatch<list_command>(o);
    return 2;
}

std::vector<std::string> message_list() { return message_names(); }

}  // namespace kest::tool

