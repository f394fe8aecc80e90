// kest.hpp: C++20 conveniences over kest.h. Header-only, so nothing here is exported
// from libkest.so; the C calls never see an exception, and the callbacks never throw.
#pragma once

#if __cplusplus < 202002L
#error "kest.hpp needs C++20 (-std=c++20); kest.h serves C and older C++"
#else

#include <kest.h>
#include <kest_names.h>

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace kest {

// ---- result codes ------------------------------------------------------------

enum class errc : int32_t {
    ok = KEST_OK,
    malformed = KEST_ERR_MALFORMED,
    wire_type = KEST_ERR_WIRE_TYPE,
    field_type = KEST_ERR_FIELD_TYPE,
    no_memory = KEST_ERR_NO_MEMORY,
};

inline std::string_view to_string(errc e) noexcept { return kest_result_name(static_cast<int32_t>(e)); }
inline std::string_view describe(errc e) noexcept { return kest_result_text(static_cast<int32_t>(e)); }

// How a decode treats byte payloads, and so how its record must be released.
enum class mode : uint32_t { copy = 0, zero_copy = KEST_FLAG_ZERO_COPY };

// ---- the C functions of each record, behind one signature ---------------------

template <class R>
struct codec;

namespace detail {
// A record that owns no memory has functions without callbacks and flags; they are
// adapted to the common signature here.
template <class R, auto Encode, auto Decode, auto Duplicate, auto Release>
struct c_functions {
    static constexpr bool plain = !std::is_invocable_v<decltype(Release), R *, kest_free_fn, void *, uint32_t>;

    static uint64_t encode(const R &m, uint8_t *buf, uint64_t len, kest_segment *segs, uint32_t *nsegs,
                           uint32_t flags) noexcept {
        if constexpr (plain)
            return Encode(&m, buf, len, segs, nsegs);
        else
            return Encode(&m, buf, len, segs, nsegs, flags);
    }
    static int32_t decode(R &m, const uint8_t *buf, uint64_t len, kest_alloc_fn alloc, void *ctx,
                          uint32_t flags) noexcept {
        if constexpr (plain)
            return Decode(&m, buf, len);
        else
            return Decode(&m, buf, len, alloc, ctx, flags);
    }
    static int32_t duplicate(R &dst, const R &src, kest_alloc_fn alloc, void *ctx) noexcept {
        if constexpr (plain)
            return Duplicate(&dst, &src);
        else
            return Duplicate(&dst, &src, alloc, ctx);
    }
    static void release(R &m, kest_free_fn release, void *ctx, uint32_t flags) noexcept {
        if constexpr (plain)
            Release(&m);
        else
            Release(&m, release, ctx, flags);
    }
};

template <class First, class... Rest>
struct drop_first {
    template <template <class...> class List>
    using as = List<Rest...>;
};
}  // namespace detail

// The message's name, as the wire family and the exported functions spell it.
template <class R>
inline constexpr std::string_view name_of = {};

// What the C++ layer knows of each message of a generated list: X(prefix, record).
#define KEST_CODEC_(P, M)                                                                            \
    template <>                                                                                      \
    struct codec<M> : detail::c_functions<M, P##M##_encode_ext, P##M##_decode_ext, P##M##_duplicate, \
                                          P##M##_free_ext> {};                                       \
    template <>                                                                                      \
    inline constexpr std::string_view name_of<M> = #M;
KEST_SRG_OPERATIONS(KEST_CODEC_)
// The same for the messages of another generated header, at global scope:
// KEST_CODECS(MYAPP_POINT_OPERATIONS)
#define KEST_CODECS(list) \
    namespace kest {      \
    list(KEST_CODEC_)     \
    }

// Record types as the arguments of a template: message_list<R...>::as<std::variant>.
template <class... R>
struct message_list {
    template <template <class...> class List>
    using as = List<R...>;
};

// The record types of a generated X(record) list, such as KEST_MESSAGES or a plugin's
// <PREFIX><FILE>_MESSAGES: KEST_MESSAGE_LIST(MYAPP_POINT_MESSAGES).
#define KEST_COMMA_RECORD_(M) , M
#define KEST_MESSAGE_LIST(list) \
    typename ::kest::detail::drop_first<void list(KEST_COMMA_RECORD_)>::template as<::kest::message_list>

// The library's own messages; messages_as<std::tuple> is every one of them in a tuple.
using library_messages = KEST_MESSAGE_LIST(KEST_MESSAGES);
template <template <class...> class List>
using messages_as = library_messages::as<List>;

// Calls fn.template operator()<R>() for every record type of `Messages`, in list order:
// the library's own by default; another header's messages, given the C++ layer with
// KEST_CODECS, as for_each_message<KEST_MESSAGE_LIST(MYAPP_POINT_MESSAGES)>(fn).
template <class Messages = library_messages, class Fn>
constexpr void for_each_message(Fn &&fn) {
    [&]<class... R>(std::type_identity<message_list<R...>>) {
        (fn.template operator()<R>(), ...);
    }(std::type_identity<Messages>{});
}

template <class R>
concept message = requires(const R &m) {
    codec<R>::encode(m, nullptr, 0, nullptr, nullptr, 0);
};

// ---- allocators ----------------------------------------------------------------

// A matching pair of callbacks and their context.
struct allocator {
    kest_alloc_fn alloc;
    kest_free_fn release;
    void *ctx;
};

inline allocator malloc_allocator() noexcept {
    // malloc(0) may answer null, which a decode would take for failure.
    // A size beyond size_t (32-bit targets) is refused, never truncated.
    return {[](uint64_t n, void *) noexcept {
                return static_cast<size_t>(n) != n ? nullptr : std::malloc(n ? static_cast<size_t>(n) : 1);
            },
            [](void *p, void *) noexcept { std::free(p); }, nullptr};
}

// Hands out memory from a caller buffer; single releases do nothing, reset() frees all.
class arena {
  public:
    explicit arena(std::span<std::byte> storage) noexcept : storage_(storage) {}
    arena(const arena &) = delete;  // get() hands out `this`
    arena &operator=(const arena &) = delete;

    allocator get() noexcept { return {&take, &give, this}; }
    void reset() noexcept { used_ = 0; }
    size_t used() const noexcept { return used_; }
    size_t capacity() const noexcept { return storage_.size(); }

  private:
    static void *take(uint64_t n, void *ctx) noexcept {
        auto &a = *static_cast<arena *>(ctx);
        constexpr uintptr_t align = alignof(std::max_align_t);
        const auto base = reinterpret_cast<uintptr_t>(a.storage_.data());
        const size_t start = static_cast<size_t>(((base + a.used_ + align - 1) & ~(align - 1)) - base);
        if (!base || start > a.storage_.size() || n > a.storage_.size() - start) return nullptr;
        a.used_ = start + static_cast<size_t>(n);
        return a.storage_.data() + start;
    }
    static void give(void *, void *) noexcept {}

    std::span<std::byte> storage_;
    size_t used_ = 0;
};

// Bounds what a decode may take: hands out blocks of `inner` while the bytes it has out
// stay within `limit`, then refuses, so the decode answers KEST_ERR_NO_MEMORY. A peer can
// make a decode ask for sizeof(element) bytes per two input bytes (a run of empty
// elements). What comes back through it is credited, so a record decoded again and
// again stays within the one budget; to know the size, each block from `inner` (aligned
// to max_align_t, as malloc's and the arena's are) starts with a header of
// alignof(max_align_t) bytes, not counted.
class budget {
  public:
    budget(allocator inner, uint64_t limit) noexcept : inner_(inner), limit_(limit), left_(limit) {}
    budget(const budget &) = delete;  // get() hands out `this`
    budget &operator=(const budget &) = delete;

    allocator get() noexcept { return {&take, &give, this}; }
    uint64_t left() const noexcept { return left_; }
    // The whole limit again, blocks still out forgotten: they credit no more when released.
    void reset() noexcept { left_ = limit_; }

  private:
    static constexpr uint64_t header = alignof(std::max_align_t);
    static_assert(header >= sizeof(uint64_t));

    static void *take(uint64_t n, void *ctx) noexcept {
        auto &b = *static_cast<budget *>(ctx);
        if (n > b.left_ || n > UINT64_MAX - header) return nullptr;
        auto *block = static_cast<std::byte *>(b.inner_.alloc(n + header, b.inner_.ctx));
        if (!block) return nullptr;
        std::memcpy(block, &n, sizeof n);
        b.left_ -= n;
        return block + header;
    }
    static void give(void *p, void *ctx) noexcept {
        auto &b = *static_cast<budget *>(ctx);
        if (!p) return;
        std::byte *block = static_cast<std::byte *>(p) - header;
        uint64_t n;
        std::memcpy(&n, block, sizeof n);
        b.left_ += std::min(n, b.limit_ - b.left_);
        b.inner_.release(block, b.inner_.ctx);
    }

    allocator inner_;
    uint64_t limit_, left_;
};

// ---- owning record ---------------------------------------------------------------

// A record that releases what it owns when it goes out of scope, with the flag of the
// decode that filled it. Anything the caller attaches by hand must come from alloc(),
// since it is released like a copy-decoded payload.
template <message R>
class record {
  public:
    explicit record(allocator a = malloc_allocator()) noexcept : alloc_(a) {}
    ~record() { reset(); }
    record(record &&o) noexcept : msg_(o.msg_), alloc_(o.alloc_), flags_(o.flags_) { o.forget(); }
    record &operator=(record &&o) noexcept {
        if (this != &o) {
            reset();
            msg_ = o.msg_;
            alloc_ = o.alloc_;
            flags_ = o.flags_;
            o.forget();
        }
        return *this;
    }
    record(const record &) = delete;
    record &operator=(const record &) = delete;

    R &operator*() noexcept { return msg_; }
    const R &operator*() const noexcept { return msg_; }
    R *operator->() noexcept { return &msg_; }
    const R *operator->() const noexcept { return &msg_; }

    // After a failure the record holds what was decoded before the fault. With
    // mode::zero_copy the payloads point into `in`, which must outlive the record.
    errc decode(std::span<const uint8_t> in, mode m = mode::copy) noexcept {
        reset();
        flags_ = static_cast<uint32_t>(m);
        return errc{codec<R>::decode(msg_, in.data(), in.size(), alloc_.alloc, alloc_.ctx, flags_)};
    }

    // A deep copy owns every payload, whatever the source borrowed.
    errc copy_from(const R &src) noexcept {
        reset();
        return errc{codec<R>::duplicate(msg_, src, alloc_.alloc, alloc_.ctx)};
    }

    void reset() noexcept {
        codec<R>::release(msg_, alloc_.release, alloc_.ctx, flags_);
        forget();
    }

    bool borrows() const noexcept { return flags_ & KEST_FLAG_ZERO_COPY; }
    const allocator &alloc() const noexcept { return alloc_; }

  private:
    void forget() noexcept {
        msg_ = R{};
        flags_ = 0;
    }

    R msg_{};
    allocator alloc_;
    uint32_t flags_ = 0;
};

// ---- encoding ------------------------------------------------------------------------

template <message R>
uint64_t encoded_size(const R &m) noexcept {
    return codec<R>::encode(m, nullptr, 0, nullptr, nullptr, 0);
}

namespace detail {
// Throws std::length_error for an encoding larger than memory can hold (32-bit targets).
inline size_t in_memory(uint64_t n) {
    if (static_cast<size_t>(n) != n) throw std::length_error("kest: the encoding is larger than the address space");
    return static_cast<size_t>(n);
}
}  // namespace detail

template <message R>
std::vector<uint8_t> encode(const R &m) {
    std::vector<uint8_t> out(detail::in_memory(encoded_size(m)));
    codec<R>::encode(m, out.data(), out.size(), nullptr, nullptr, 0);
    return out;
}

// The encoding as a prefix of `out`, or nothing when it does not fit (then `out` may
// hold a partial encoding).
template <message R>
std::optional<std::span<uint8_t>> encode(const R &m, std::span<uint8_t> out) noexcept {
    const uint64_t n = codec<R>::encode(m, out.data(), out.size(), nullptr, nullptr, 0);
    if (n > out.size()) return std::nullopt;
    return out.first(static_cast<size_t>(n));
}

// Zero-copy: payloads are not copied. The vectors point into `buffer` (resized here)
// and at the record's payloads, so both must outlive the write; segments that lie
// side by side in memory (the buffer's runs around an element) are merged.
template <message R>
std::vector<iovec> encode_iovec(const R &m, std::vector<uint8_t> &buffer) {
    uint32_t n = 0;
    buffer.resize(detail::in_memory(codec<R>::encode(m, nullptr, 0, nullptr, &n, KEST_FLAG_ZERO_COPY)));
    std::vector<kest_segment> segs(n);
    codec<R>::encode(m, buffer.data(), buffer.size(), segs.data(), &n, KEST_FLAG_ZERO_COPY);
    std::vector<iovec> iov;
    for (const kest_segment &s : segs) {
        auto *base = const_cast<uint8_t *>(s.base);
        if (!iov.empty() && static_cast<uint8_t *>(iov.back().iov_base) + iov.back().iov_len == base)
            iov.back().iov_len += static_cast<size_t>(s.len);
        else
            iov.push_back({base, static_cast<size_t>(s.len)});
    }
    return iov;
}

// Writes every segment to `fd`, however many: batches of at most IOV_MAX, short writes
// resumed, interrupted ones retried. The vectors are used up on the way. False: errno
// says why.
inline bool write_all(int fd, std::span<iovec> iov) noexcept {
    const auto batch = static_cast<size_t>(sysconf(_SC_IOV_MAX) > 0 ? sysconf(_SC_IOV_MAX) : 16);
    while (!iov.empty()) {
        const ssize_t w = ::writev(fd, iov.data(), static_cast<int>(std::min(iov.size(), batch)));
        if (w < 0 && errno == EINTR) continue;
        if (w == 0) errno = EIO;  // nothing written, and nothing would be
        if (w <= 0) return false;
        for (auto left = static_cast<size_t>(w); left || (!iov.empty() && !iov.front().iov_len);) {
            const size_t step = std::min(left, iov.front().iov_len);
            iov.front().iov_base = static_cast<uint8_t *>(iov.front().iov_base) + step;
            iov.front().iov_len -= step;
            left -= step;
            if (!iov.front().iov_len) iov = iov.subspan(1);
        }
    }
    return true;
}

// ---- length-delimited streams ----------------------------------------------------------

namespace detail {
inline size_t put_varint(uint8_t *out, uint64_t v) noexcept {
    size_t n = 0;
    for (; v >= 0x80; v >>= 7) out[n++] = static_cast<uint8_t>(v | 0x80);
    out[n++] = static_cast<uint8_t>(v);
    return n;
}
}  // namespace detail

// Writes records to a file descriptor, each after its length as a varint, as protobuf's
// delimited streams frame them. The descriptor stays the caller's.
class delimited_writer {
  public:
    explicit delimited_writer(int fd) noexcept : fd_(fd) {}

    // mode::zero_copy hands the payloads to writev where they are; the prefix goes first.
    // False on a write error, errno says why.
    template <message R>
    bool write(const R &m, mode how = mode::copy) {
        uint8_t prefix[10];
        if (how == mode::zero_copy) {
            std::vector<iovec> iov = encode_iovec(m, buffer_);
            uint64_t n = 0;
            for (const iovec &v : iov) n += v.iov_len;
            iov.insert(iov.begin(), iovec{prefix, detail::put_varint(prefix, n)});
            return write_all(fd_, iov);
        }
        const uint64_t n = encoded_size(m);
        const size_t p = detail::put_varint(prefix, n);
        buffer_.resize(detail::in_memory(p + n));
        std::copy(prefix, prefix + p, buffer_.begin());
        codec<R>::encode(m, buffer_.data() + p, n, nullptr, nullptr, 0);
        iovec one{buffer_.data(), buffer_.size()};
        return write_all(fd_, {&one, 1});
    }

  private:
    int fd_;
    std::vector<uint8_t> buffer_;  // reused: in copy mode a steady stream stops allocating
};

enum class stream_status { record, need_more, too_long, bad_length, bad_record };

// Cuts a byte stream, fed in pieces of any size, into whole records. Only feed and
// read_from move the buffered bytes, so zero-copy records stay valid until then.
class delimited_reader {
  public:
    // A length above the largest buffer is refused too, never truncated (32-bit targets).
    explicit delimited_reader(uint64_t max_length) noexcept : max_(std::min<uint64_t>(max_length, SIZE_MAX)) {}

    void feed(std::span<const uint8_t> bytes) {
        room(bytes.size());
        std::copy(bytes.begin(), bytes.end(), buf_.begin() + static_cast<ptrdiff_t>(end_));
        end_ += bytes.size();
    }

    // One read(): >0 the bytes read, 0 end of stream, -1 errno says why.
    ssize_t read_from(int fd) {
        room(size_t{1} << 16);
        ssize_t n;
        do n = ::read(fd, buf_.data() + end_, buf_.size() - end_);
        while (n < 0 && errno == EINTR);
        if (n > 0) end_ += static_cast<size_t>(n);
        return n;
    }

    // too_long and bad_length leave no way to find the next record, so the prefix is
    // left where it is and every later call answers the same. After bad_record, `out`
    // holds what was decoded before the fault, error() says why, and the reader is past it.
    template <message R>
    stream_status next(record<R> &out, mode how = mode::copy) {
        const uint8_t *p = buf_.data() + at_;
        const size_t held = end_ - at_;
        uint64_t len = 0;
        size_t i = 0;
        for (;; ++i) {
            if (i == held) return stream_status::need_more;
            if (i == 9 && p[i] > 1) return stream_status::bad_length;  // 11 bytes, or past 64 bits
            len |= uint64_t{p[i] & 0x7Fu} << (7 * i);
            if (!(p[i] & 0x80)) break;
        }
        if (len > max_) return stream_status::too_long;  // before its body is buffered
        if (len > held - i - 1) return stream_status::need_more;
        at_ += i + 1 + static_cast<size_t>(len);
        offset_ += i + 1 + len;
        error_ = out.decode({p + i + 1, static_cast<size_t>(len)}, how);
        return error_ == errc::ok ? stream_status::record : stream_status::bad_record;
    }

    // Why the last record was refused; ok after a good one.
    errc error() const noexcept { return error_; }
    // Where the next record starts in the stream: the bytes of every record cut so far.
    uint64_t offset() const noexcept { return offset_; }
    // Bytes not yet returned as records: non-zero at the end of a stream that was cut short.
    size_t buffered() const noexcept { return end_ - at_; }

  private:
    // Moves the unread bytes to the front and makes space for n more after them.
    void room(size_t n) {
        if (at_) {  // only then: a big record arriving in pieces is not moved again each time
            std::copy(buf_.begin() + static_cast<ptrdiff_t>(at_), buf_.begin() + static_cast<ptrdiff_t>(end_),
                      buf_.begin());
            end_ -= at_;
            at_ = 0;
        }
        if (buf_.size() - end_ < n) buf_.resize(std::max(end_ + n, 2 * buf_.size()));
    }

    std::vector<uint8_t> buf_;
    size_t at_ = 0, end_ = 0;  // the unread bytes are [at_, end_)
    uint64_t max_, offset_ = 0;
    errc error_ = errc::ok;
};

}  // namespace kest

#endif
