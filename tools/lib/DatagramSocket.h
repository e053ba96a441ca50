// One IPv4 UDP socket for the peer tools: bound to a chosen local address and
// port (0 lets the system choose, and localPort() tells which), a default
// destination, blocking sends, and receives with a time-out that report the
// sender.
//
// The tools use this rather than the daemon's CDV3000_UDP because a peer
// program must fail clearly when its port is taken (CDV3000_UDP logs a failed
// bind and carries on, and its SO_REUSEADDR would let two programs share a
// port and split the traffic between them), must bind loopback only unless
// told otherwise, and tests need to know which ephemeral port it got.
//
// Ownership: owns its descriptor, closed by close() or the destructor.
// Movable, not copyable.
// Thread-safety: one thread may send while another receives; open() and
// close() must not overlap any other call.
#pragma once

#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace halvane {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    sockaddr_in from{};
};

class DatagramSocket {
public:
    // Larger than any UDP payload, so nothing is ever cut.
    static constexpr std::size_t MAX_DATAGRAM = 65536;

    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(DatagramSocket&& other) noexcept;
    DatagramSocket& operator=(DatagramSocket&& other) noexcept;
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Binds `host` (a name or dotted address) and `port` (0: any free port).
    // False with `error` set when the host does not resolve, the port is out
    // of range or taken; the socket is then closed.
    bool open(const std::string& host, int port, std::string& error);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    // The bound port, 0 when closed.
    int localPort() const { return localPort_; }

    // The destination of send(). False with `error` set when `host` does not
    // resolve or the port is not 1..65535.
    bool setPeer(const std::string& host, int port, std::string& error);
    const sockaddr_in& peer() const { return peer_; }

    // Sends one datagram to the peer (send) or to `to`; true when the whole
    // datagram was handed to the system.
    bool send(std::span<const std::uint8_t> bytes) const;
    bool sendTo(const sockaddr_in& to, std::span<const std::uint8_t> bytes) const;

    // The next datagram, waiting at most `timeout` (0: only what is pending);
    // nothing on time-out, error or a closed socket.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout) const;

    // "a.b.c.d:port" of an address, for messages.
    static std::string addressText(const sockaddr_in& address);
    // Resolves an IPv4 host name or dotted address.
    static bool resolve(const std::string& host, int port, sockaddr_in& address, std::string& error);

private:
    int fd_ = -1;
    int localPort_ = 0;
    sockaddr_in peer_{};
};

} // namespace halvane
