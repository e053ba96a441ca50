// A loopback UDP socket for tests: bind an ephemeral (or given) port, send
// datagrams to a port on 127.0.0.1, receive with a time-out; and ports for
// programs under test that no parallel test can take.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace halvane {

class UdpSocket {
public:
    explicit UdpSocket(int port = 0)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~UdpSocket() { close(fd_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int port() const { return port_; }

    bool sendTo(int port, const std::vector<uint8_t>& data) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) ==
               static_cast<ssize_t>(data.size());
    }

    // One datagram, or nothing when none arrives within `limit`.
    std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds limit = std::chrono::seconds(5)) const
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return std::nullopt;
        std::vector<uint8_t> data(65536);
        ssize_t n = recv(fd_, data.data(), data.size(), 0);
        if (n < 0)
            return std::nullopt;
        data.resize(static_cast<size_t>(n));
        return data;
    }

    // One datagram and its sender's port, or nothing within `limit`.
    std::optional<std::pair<std::vector<uint8_t>, int>> receiveFrom(std::chrono::milliseconds limit) const
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return std::nullopt;
        std::vector<uint8_t> data(65536);
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::nullopt;
        data.resize(static_cast<size_t>(n));
        return std::make_pair(std::move(data), static_cast<int>(ntohs(from.sin_port)));
    }

    // Every datagram until none comes for `quiet`; sources() then holds
    // their senders' ports, in order.
    std::vector<std::vector<uint8_t>> drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100))
    {
        std::vector<std::vector<uint8_t>> all;
        sources_.clear();
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
            std::vector<uint8_t> data(65536);
            sockaddr_in from{};
            socklen_t len = sizeof(from);
            ssize_t n = recvfrom(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0)
                break;
            data.resize(static_cast<size_t>(n));
            all.push_back(std::move(data));
            sources_.push_back(ntohs(from.sin_port));
        }
        return all;
    }
    const std::vector<int>& sources() const { return sources_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> sources_;
};

// A UDP port that no other test is handed while this process runs, in this
// process or in any other running at the same time (ctest -j, other
// checkouts): ports come from below the system's ephemeral range, so the
// kernel never gives them to an unbound socket; each is held by an
// exclusive lock on a file in a directory all test processes share, kept
// until the process ends; and each is checked free by binding it. 0 when
// none is left.
inline int freeUdpPort()
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    static const std::string dir = [] {
        const std::string path = "/tmp/halvane-test-ports";
        ::mkdir(path.c_str(), 01777);
        ::chmod(path.c_str(), 01777); // shared by every user's test runs
        return path;
    }();
    constexpr int FIRST = 20000;
    static const int last = [] {
        int low = 32768;
        if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
            if (std::fscanf(range, "%d", &low) != 1)
                low = 32768;
            std::fclose(range);
        }
        return std::max(FIRST + 999, low - 1);
    }();
    static int next = FIRST + static_cast<int>(::getpid() % (last - FIRST + 1));
    for (int tries = 0; tries <= last - FIRST; ++tries) {
        const int port = next;
        next = next >= last ? FIRST : next + 1;
        const int fd = ::open((dir + "/" + std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool free = ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(probe);
        if (!free) {
            ::close(fd);
            continue;
        }
        return port; // `fd` stays open: the lock lasts as long as the process
    }
    return 0;
}

} // namespace halvane
