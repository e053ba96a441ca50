#include "DatagramSocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace halvane {

namespace {

std::string errnoText(int err)
{
    return std::system_category().message(err);
}

} // namespace

DatagramSocket::~DatagramSocket()
{
    close();
}

DatagramSocket::DatagramSocket(DatagramSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), localPort_(std::exchange(other.localPort_, 0)), peer_(other.peer_)
{
}

DatagramSocket& DatagramSocket::operator=(DatagramSocket&& other) noexcept
{
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        localPort_ = std::exchange(other.localPort_, 0);
        peer_ = other.peer_;
    }
    return *this;
}

bool DatagramSocket::resolve(const std::string& host, int port, sockaddr_in& address, std::string& error)
{
    if (port < 0 || port > 65535) {
        error = "port " + std::to_string(port) + " is not in 0..65535";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        error = "cannot resolve '" + host + "': " + (status != 0 ? ::gai_strerror(status) : "no address");
        return false;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, sizeof(first));
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr = first.sin_addr;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return true;
}

std::string DatagramSocket::addressText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool DatagramSocket::open(const std::string& host, int port, std::string& error)
{
    close();
    sockaddr_in local{};
    if (!resolve(host, port, local, error))
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create a UDP socket: " + errnoText(errno);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        error = "cannot bind " + addressText(local) + ": " + errnoText(errno);
        ::close(fd);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = "cannot read the bound port: " + errnoText(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    localPort_ = ntohs(bound.sin_port);
    return true;
}

void DatagramSocket::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    localPort_ = 0;
}

bool DatagramSocket::setPeer(const std::string& host, int port, std::string& error)
{
    if (port < 1 || port > 65535) {
        error = "port " + std::to_string(port) + " is not in 1..65535";
        return false;
    }
    return resolve(host, port, peer_, error);
}

bool DatagramSocket::send(std::span<const std::uint8_t> bytes) const
{
    return sendTo(peer_, bytes);
}

bool DatagramSocket::sendTo(const sockaddr_in& to, std::span<const std::uint8_t> bytes) const
{
    if (fd_ < 0 || to.sin_port == 0)
        return false;
    const ssize_t sent =
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    return sent == static_cast<ssize_t>(bytes.size());
}

std::optional<Datagram> DatagramSocket::receive(std::chrono::milliseconds timeout) const
{
    if (fd_ < 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready < 0 && errno == EINTR) {
            // A signal (an operator's Ctrl-C) must not end a wait early unless
            // the deadline is reached; the caller checks its own stop flag.
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            continue;
        }
        if (ready <= 0)
            return std::nullopt;
        Datagram datagram;
        datagram.bytes.resize(MAX_DATAGRAM);
        socklen_t fromLength = sizeof(datagram.from);
        const ssize_t n = ::recvfrom(fd_, datagram.bytes.data(), datagram.bytes.size(), 0,
                                     reinterpret_cast<sockaddr*>(&datagram.from), &fromLength);
        if (n < 0)
            return std::nullopt;
        datagram.bytes.resize(static_cast<std::size_t>(n));
        return datagram;
    }
}

} // namespace halvane
