#include "CDV3000_UDP.h"

#include "HostAddress.h"
#include "Log.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace halvane {

struct CDV3000_UDP::Descriptor {
    explicit Descriptor(int number) : fd(number) {}
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    const int fd;
};

namespace {

// A flood must not keep sendRecv draining for ever; far more than a socket
// buffer of small datagrams holds.
constexpr int MAX_DROPPED = 1024;

std::string errorText(int err)
{
    // strerror() shares one buffer between threads.
    return std::system_category().message(err);
}

bool isSendablePort(int port)
{
    return port > 0 && port <= 65535;
}

std::uint16_t portToNet(int port)
{
    return htons(static_cast<std::uint16_t>(port));
}

PortList copyPortList(const int* ports)
{
    PortList list{};
    if (ports == nullptr)
        return list;
    for (int i = 0; i < MAX_PORTS && ports[i] != 0; ++i)
        list[i] = ports[i];
    return list;
}

sockaddr_in makeAddress(int port, in_addr_t address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = portToNet(port);
    a.sin_addr.s_addr = address;
    return a;
}

std::string addressText(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}

bool sameAddressAndPort(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
           a.sin_addr.s_addr == b.sin_addr.s_addr;
}

int pollReadable(int fd, const timespec* timeout)
{
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    // ppoll, not select: select cannot watch descriptors numbered 1024 and up.
    return ::ppoll(&entry, 1, timeout, nullptr);
}

} // namespace

CDV3000_UDP::CDV3000_UDP() = default;

CDV3000_UDP::CDV3000_UDP(const char* host, int port, int flags)
{
    openSocket(host, port, flags);
}

CDV3000_UDP::CDV3000_UDP(const char* host, const int* ports, int flags)
{
    setUp(host, ports != nullptr ? ports[0] : 0, ports, flags);
}

CDV3000_UDP::CDV3000_UDP(const char* host, int readPortArg, int writePort, int flags)
{
    const int list[] = {writePort, 0};
    setUp(host, readPortArg, list, flags);
}

CDV3000_UDP::CDV3000_UDP(const char* host, int readPortArg, const int* writePortList, int flags)
{
    setUp(host, readPortArg, writePortList, flags);
}

CDV3000_UDP::~CDV3000_UDP()
{
    closeSocket();
}

int CDV3000_UDP::openSocket(const char* host, int port, int flags)
{
    const int list[] = {port, 0};
    return setUp(host, port, list, flags);
}

int CDV3000_UDP::openSocket(const char* host, int readPortArg, const int* writePortList, int flags)
{
    return setUp(host, readPortArg, writePortList, flags);
}

void CDV3000_UDP::setBindAddress(std::string host)
{
    std::lock_guard<std::mutex> lock(mutex);
    bindHost = std::move(host);
}

int CDV3000_UDP::setUp(const char* host, int readPortArg, const int* writePortList, int flags)
{
    // Reopening must not leak the previous socket.
    closeSocket();
    std::string listenHost;
    {
        std::lock_guard<std::mutex> lock(mutex);
        listenHost = bindHost;
        readPort = readPortArg;
        writePorts = copyPortList(writePortList);
        samePort = writePorts[0] == readPort;
        readSockAddr = makeAddress(readPort, htonl(INADDR_ANY));
        writeSockAddr = makeAddress(writePorts[0], htonl(INADDR_ANY));
        haveSender = false;
        writeHost = host != nullptr ? host : "";
    }

    // Close-on-exec: macros and the emulator run in forked children, which
    // must not keep Halvane's ports open.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fd;
    DescriptorRef opened = std::make_shared<const Descriptor>(fd);

    bool isBound = false;
    const bool loopback = (flags & FLAG_BIND) != 0 && (flags & FLAG_LOOPBACK) != 0;
    if ((flags & FLAG_BIND) != 0) {
        // No SO_REUSEADDR: with it a second process could bind the same port
        // and the two would take each other's datagrams; without it the
        // second one's bind fails and it can say so.
        in_addr listenAddress{htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY)};
        int err = 0;
        if (readPortArg < 0 || readPortArg > 65535) {
            err = EINVAL; // would otherwise bind a port cut to 16 bits
        } else if (!listenHost.empty() && !resolveIPv4(listenHost.c_str(), listenAddress)) {
            err = EADDRNOTAVAIL; // never widened to every address
        } else {
            const sockaddr_in local = makeAddress(readPortArg, listenAddress.s_addr);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
                err = errno;
        }
        if (err != 0)
            Log(5, "Can not bind port %d, error code = %d (%s)\n", readPortArg, err, errorText(err).c_str());
        isBound = err == 0;
    }
    bound.store(isBound);
    loopbackOnly.store(isBound && loopback);

    in_addr destination{};
    if (resolveIPv4(host, destination)) {
        std::lock_guard<std::mutex> lock(mutex);
        writeSockAddr.sin_addr = destination;
    }

    replaceDescriptor(std::move(opened));
    return fd;
}

void CDV3000_UDP::closeSocket()
{
    replaceDescriptor(nullptr);
    bound.store(false);
    loopbackOnly.store(false);
}

CDV3000_UDP::DescriptorRef CDV3000_UDP::lease() const
{
    std::lock_guard<std::mutex> lock(descriptorMutex);
    return descriptor;
}

void CDV3000_UDP::replaceDescriptor(DescriptorRef next)
{
    DescriptorRef previous;
    {
        std::lock_guard<std::mutex> lock(descriptorMutex);
        previous = std::move(descriptor);
        descriptor = std::move(next);
        sock.store(descriptor ? descriptor->fd : -1);
    }
    // A thread blocked waiting on the old socket holds a lease, so the close
    // happens when it lets go; shutting the receive side down wakes it now.
    if (previous)
        ::shutdown(previous->fd, SHUT_RD);
}

bool CDV3000_UDP::isReadDataReady() const
{
    return waitForData(0, 0);
}

bool CDV3000_UDP::waitForData(int sec, int usec) const
{
    const DescriptorRef d = lease();
    if (!d)
        return false;
    using namespace std::chrono;
    const microseconds limit = seconds(std::max(sec, 0)) + microseconds(std::max(usec, 0));
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        const auto left = std::max(duration_cast<nanoseconds>(deadline - steady_clock::now()), nanoseconds(0));
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(left.count() % 1000000000);
        const int ready = pollReadable(d->fd, &timeout);
        // A signal is not a time-out: reporting it as one would, for example,
        // end a transmission that is still running.
        if (ready < 0 && errno == EINTR)
            continue;
        // Closed meanwhile: readiness of the shut-down socket means nothing.
        return ready > 0 && sock.load() == d->fd;
    }
}

bool CDV3000_UDP::waitForData() const
{
    const DescriptorRef d = lease();
    if (!d)
        return false;
    const int ready = pollReadable(d->fd, nullptr);
    return ready > 0 && sock.load() == d->fd;
}

int CDV3000_UDP::readSocket(unsigned char* buf, unsigned int len)
{
    if (buf == nullptr && len > 0) {
        errno = EINVAL;
        return -1;
    }
    const DescriptorRef d = lease();
    if (!d) {
        errno = EBADF;
        return -1;
    }
    sockaddr_in from{};
    socklen_t fromLen = sizeof(from);
    const ssize_t got = ::recvfrom(d->fd, buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    std::lock_guard<std::mutex> lock(mutex);
    readSockAddr = from;
    haveSender = true;
    return static_cast<int>(got);
}

int CDV3000_UDP::writeSocket(const unsigned char* buf, unsigned int len)
{
    int portsUsed = 0;
    return writeAll(buf, len, portsUsed);
}

int CDV3000_UDP::writeAll(const unsigned char* buf, unsigned int len, int& portsUsed)
{
    portsUsed = 0;
    if (buf == nullptr && len > 0)
        return -1;
    const DescriptorRef d = lease();
    std::lock_guard<std::mutex> lock(mutex);
    sockaddr_in to = writeSockAddr;
    int total = 0;
    for (const int port : writePorts) {
        if (port == 0)
            break;
        ++portsUsed;
        // A port that does not fit 16 bits counts as a failed send rather
        // than going to whatever port its low bits name.
        if (!d || !isSendablePort(port)) {
            total -= 1;
            continue;
        }
        // A socket bound to loopback cannot reach any other address (the
        // system refuses with EINVAL); such a datagram, in practice one to
        // RESET_ADDRESS, is lost as it would be on the way.
        if (loopbackOnly.load() && !isLoopbackAddress(to.sin_addr)) {
            total += static_cast<int>(len);
            continue;
        }
        to.sin_port = portToNet(port);
        const ssize_t sent = ::sendto(d->fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        total += sent < 0 ? -1 : static_cast<int>(sent);
    }
    return total;
}

int CDV3000_UDP::dropPending()
{
    const DescriptorRef d = lease();
    if (!d)
        return 0;
    int dropped = 0;
    // A zero-length receive still takes the whole datagram off the queue.
    while (dropped < MAX_DROPPED && ::recv(d->fd, nullptr, 0, MSG_DONTWAIT) >= 0)
        ++dropped;
    return dropped;
}

int CDV3000_UDP::sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen)
{
    if (out == nullptr || outLen <= 0 || inLen < 0 || (in == nullptr && inLen > 0))
        return 0;
    // A reply that came after an earlier exchange had given up would
    // otherwise be taken for the answer to this request, and every later
    // exchange would stay one reply behind.
    const int stale = dropPending();
    if (stale > 0)
        Log(1, "Dropped %d stale datagram(s) before a request\n", stale);

    int portsUsed = 0;
    const int sent = writeAll(out, static_cast<unsigned int>(outLen), portsUsed);
    if (sent != outLen || portsUsed != 1)
        return 0;

    const long long ms = replyTimeoutMs.load();
    const long long sec = std::min<long long>(ms / 1000, 1000000000LL);
    if (!waitForData(static_cast<int>(sec), static_cast<int>((ms % 1000) * 1000)))
        return 0;
    const int got = readSocket(in, static_cast<unsigned int>(inLen));
    return got > 0 ? got : 0;
}

void CDV3000_UDP::setReplyTimeout(std::chrono::milliseconds timeout)
{
    replyTimeoutMs.store(std::max<long long>(timeout.count(), 0));
}

std::string CDV3000_UDP::getReadAddressAsString() const
{
    in_addr sender;
    {
        std::lock_guard<std::mutex> lock(mutex);
        sender = readSockAddr.sin_addr;
    }
    return addressText(sender);
}

sockaddr_in CDV3000_UDP::getReadSockAddr() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return readSockAddr;
}

sockaddr_in CDV3000_UDP::getWriteSockAddr() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return writeSockAddr;
}

std::string CDV3000_UDP::getWriteHost() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return writeHost;
}

PortList CDV3000_UDP::getWritePorts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return writePorts;
}

int CDV3000_UDP::getReadPort() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return readPort;
}

bool CDV3000_UDP::isRegUser() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return haveSender && readSockAddr.sin_addr.s_addr == writeSockAddr.sin_addr.s_addr;
}

bool CDV3000_UDP::isLocalInterfaceAddress(const char* ip)
{
    if (ip == nullptr)
        return false;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        // Interfaces without an address (tunnels, for one) have none to compare.
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        char host[NI_MAXHOST];
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        if (std::strcmp(host, ip) == 0) {
            Log(1, "Looked for and found ip %s on local interface %s\n", host,
                entry->ifa_name != nullptr ? entry->ifa_name : "");
            return true;
        }
    }
    return false;
}

bool CDV3000_UDP::setWriteSockAddr()
{
    sockaddr_in sender;
    int ownPort;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!haveSender || sameAddressAndPort(readSockAddr, writeSockAddr))
            return false;
        sender = readSockAddr;
        ownPort = readPort;
    }
    const std::string text = addressText(sender.sin_addr);
    const int senderPort = ntohs(sender.sin_port);

    // The interface enumeration runs without the lock: writers on other
    // threads must not wait for it.
    if (isLocalInterfaceAddress(text.c_str()) && senderPort == ownPort) {
        Log(3, "The new IP and port matches our local IP and listener port.  This means we are about to loop, so ignoring the new address\n");
        return true;
    }

    std::string previous;
    int port;
    {
        std::lock_guard<std::mutex> lock(mutex);
        previous = writeHost;
        writeHost = text;
        if (samePort)
            writePorts[0] = senderPort;
        port = writePorts[0];
        writeSockAddr = makeAddress(port, sender.sin_addr.s_addr);
    }
    Log(3, "USRP server ip change from %s to new ip:port %s:%d\n", previous.c_str(), text.c_str(), port);
    return true;
}

void CDV3000_UDP::resetWriteSockAddr()
{
    in_addr reset{};
    ::inet_pton(AF_INET, RESET_ADDRESS, &reset);
    PortList ports;
    {
        std::lock_guard<std::mutex> lock(mutex);
        writeSockAddr = makeAddress(writePorts[0], reset.s_addr);
        writeHost = RESET_ADDRESS;
        ports = writePorts;
    }
    Log(3, "USRP reset server IP address to %s:%s\n", RESET_ADDRESS, getTransmitPorts(ports).c_str());
}

std::string CDV3000_UDP::getTransmitPorts(const PortList& ports)
{
    std::string text;
    for (const int port : ports) {
        if (port <= 0)
            continue;
        if (!text.empty())
            text += ',';
        text += std::to_string(port);
    }
    return text;
}

} // namespace halvane
