// Zero-copy segments handed straight to writev/sendmsg over real sockets, read back
// in chunks of random sizes. Frames are a varint length and the message, the same
// framing as protobuf's delimited streams.
#include "bridge.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>

namespace {

using namespace compat;

constexpr int kFrames = 150;

// Writes the whole iovec array, resuming after partial writes.
bool write_all(int fd, std::vector<iovec> iov, bool use_sendmsg) {
    size_t at = 0;
    while (at < iov.size()) {
        msghdr mh{};
        mh.msg_iov = &iov[at];
        mh.msg_iovlen = iov.size() - at;
        ssize_t n = use_sendmsg ? sendmsg(fd, &mh, MSG_NOSIGNAL)
                                : writev(fd, mh.msg_iov, static_cast<int>(mh.msg_iovlen));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        for (; at < iov.size() && static_cast<size_t>(n) >= iov[at].iov_len; ++at)
            n -= static_cast<ssize_t>(iov[at].iov_len);
        if (at < iov.size()) {
            iov[at].iov_base = static_cast<uint8_t *>(iov[at].iov_base) + n;
            iov[at].iov_len -= static_cast<size_t>(n);
        }
    }
    return true;
}

template <class R>
void send_frames(int fd, const std::vector<R> &records, bool use_sendmsg) {
    for (const R &m : records) {
        Bytes runs;
        const std::vector<kest_segment> segs = encode_segments(m, runs);
        uint64_t total = 0;
        for (const auto &s : segs) total += s.len;
        uint8_t prefix[10];
        std::vector<iovec> iov{{prefix, static_cast<size_t>(kest::core::put_varint(prefix, total) - prefix)}};
        for (const auto &s : segs) iov.push_back({const_cast<uint8_t *>(s.base), s.len});
        if (!write_all(fd, std::move(iov), use_sendmsg)) break;
    }
    shutdown(fd, SHUT_WR);
}

// Length of the frame at the front of `in` if it is complete, with its prefix size.
bool frame_at(const Bytes &in, uint64_t &len, size_t &prefix) {
    len = 0;
    for (prefix = 0; prefix < in.size() && prefix < 10; ++prefix) {
        len |= uint64_t{in[prefix] & 0x7Fu} << (7 * prefix);
        if (!(in[prefix] & 0x80)) return in.size() - ++prefix >= len;
    }
    return false;
}

template <class R>
void exchange(int send_fd, int recv_fd, bool use_sendmsg, uint64_t seed) {
    Source src(seed);
    std::vector<R> records;
    for (int i = 0; i < kFrames; ++i) records.push_back(src.record<R>());
    timeval limit{10, 0};  // a stuck peer fails the test instead of hanging it
    setsockopt(recv_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(send_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::thread sender(send_frames<R>, send_fd, std::cref(records), use_sendmsg);

    Bytes in;
    size_t got = 0;
    uint8_t chunk[256];
    for (;;) {
        const ssize_t n = read(recv_fd, chunk, 1 + src.rng() % sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.insert(in.end(), chunk, chunk + n);
        uint64_t len;
        size_t prefix;
        while (got < records.size() && frame_at(in, len, prefix)) {
            SCOPED_TRACE("frame " + std::to_string(got));
            proto_of<R> want;
            to_proto(records[got++], want);
            expect_decodes_to<R>(in.data() + prefix, len, 0, want);
            expect_decodes_to<R>(in.data() + prefix, len, KEST_FLAG_ZERO_COPY, want);
            in.erase(in.begin(), in.begin() + static_cast<ptrdiff_t>(prefix + len));
        }
    }
    sender.join();
    EXPECT_EQ(got, records.size());
    EXPECT_TRUE(in.empty()) << in.size() << " stray bytes";
}

TEST(Transport, SocketpairWritev) {
    std::signal(SIGPIPE, SIG_IGN);  // a receiver that gives up must not kill the test
    for (int round = 0; round < 2; ++round) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        if (round == 0)
            exchange<srg_sync_msg>(fds[0], fds[1], false, 11);
        else
            exchange<srg_opq_dhcpv6_msg>(fds[0], fds[1], false, 12);
        close(fds[0]);
        close(fds[1]);
    }
}

TEST(Transport, LoopbackTcpSendmsg) {
    for (int round = 0; round < 2; ++round) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t addr_len = sizeof addr;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addr_len), 0);
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        const int server = accept(listener, nullptr, nullptr);
        ASSERT_GE(server, 0);
        if (round == 0)
            exchange<srg_sync_msg>(client, server, true, 21);
        else
            exchange<srg_opq_dhcpv6_msg>(client, server, true, 22);
        close(server);
        close(client);
        close(listener);
    }
}

}  // namespace
