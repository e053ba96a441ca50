// A loopback UDP socket for tests: bind an ephemeral (or given) port, send
// datagrams to a port on 127.0.0.1, receive with a time-out.
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace halvane {

class UdpSocket {
public:
    explicit UdpSocket(int port = 0)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
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

// A free UDP port on 127.0.0.1 at the time of the call.
inline int freeUdpPort()
{
    UdpSocket probe;
    return probe.port();
}

} // namespace halvane
