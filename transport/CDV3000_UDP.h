// One IPv4 UDP endpoint: a socket that optionally listens on a local read
// port, sends every datagram once to each of up to 16 write ports of one
// destination host, and remembers the sender of the last datagram it read.
// Every datagram Halvane sends or receives goes through one of these. The
// USRP side uses the remembered sender to learn its client (setWriteSockAddr)
// and to forget it again (resetWriteSockAddr).
//
// Ownership and lifetime: the endpoint owns its socket. closeSocket() and the
// destructor close it; openSocket() on an open endpoint closes the old socket
// before opening the new one. Not copyable, not movable.
//
// Thread-safety: every operation may be called from any thread at any time.
// The intended use is one reading thread (wait, read, then the operations
// that look at the last sender) and any number of writing threads.
// - Writes are serialised, so all write ports see concurrent writers'
//   datagrams in the same order.
// - closeSocket()/openSocket() may run while another thread waits or reads:
//   the waiter wakes and reports failure, and no operation ever uses a
//   descriptor number after it was closed (it may already belong to another
//   file).
// - The destructor must not run while another thread is still inside an
//   operation of this endpoint.
// - sendRecv() assumes no other thread reads this endpoint meanwhile (it
//   discards datagrams that were pending before its request).
// Texts are returned by value; nothing points into shared storage.
//
// Errors are reported by return values and log lines, never by exceptions.
#pragma once

#include "PortList.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <string>

namespace halvane {

class CDV3000_UDP {
public:
    // Bit 0 of `flags`: bind the socket to the read port on every local
    // address. Without SO_REUSEADDR, so a port another socket holds is
    // refused (isBound() tells) instead of shared.
    static constexpr int FLAG_BIND = 1;
    // Bit 1, with bit 0: bind to 127.0.0.1 only, for a peer on this host.
    // Such an endpoint can send only to loopback addresses; a datagram to any
    // other (RESET_ADDRESS after a client left) is dropped and counted as
    // sent, as if lost on the way.
    static constexpr int FLAG_LOOPBACK = 2;
    // Where the write side points while no client is registered: datagrams
    // keep flowing there and are lost.
    static constexpr const char* RESET_ADDRESS = "169.254.42.42";

    // Closed endpoint; open it with openSocket() before any other use.
    CDV3000_UDP();
    // Port lists (`ports`, `writePorts`) are read up to their first 0 entry
    // and never beyond 16 entries; a null list is an empty list. A null or
    // unresolvable `host` makes the destination 0.0.0.0.
    // Read port `port`, single write port `port`.
    CDV3000_UDP(const char* host, int port, int flags);
    // Read port `ports[0]`, write ports `ports`.
    CDV3000_UDP(const char* host, const int* ports, int flags);
    // Read port `readPort`, single write port `writePort`.
    CDV3000_UDP(const char* host, int readPort, int writePort, int flags);
    // Read port `readPort`, write ports `writePorts`.
    CDV3000_UDP(const char* host, int readPort, const int* writePorts, int flags);
    ~CDV3000_UDP();

    CDV3000_UDP(const CDV3000_UDP&) = delete;
    CDV3000_UDP& operator=(const CDV3000_UDP&) = delete;

    // (Re)open as the constructors do; return the new descriptor, negative
    // when the socket could not be created (the endpoint is then closed).
    // A failed bind is logged and leaves an open, unbound socket.
    int openSocket(const char* host, int port, int flags);
    int openSocket(const char* host, int readPort, const int* writePorts, int flags);

    // The local address that the next set-up with FLAG_BIND listens on: a
    // numeric IPv4 address or a host name. Empty (the default) listens on
    // every local address. One that does not resolve fails the bind (logged),
    // never widening it to every address.
    void setBindAddress(std::string host);

    // Harmless on a closed endpoint. Wakes a thread blocked in waitForData().
    void closeSocket();

    bool isOpen() const { return sock.load() >= 0; }
    // The last set-up asked for a bind and got it.
    bool isBound() const { return bound.load(); }
    // Bound, and on 127.0.0.1 only (FLAG_LOOPBACK).
    bool isLoopbackOnly() const { return loopbackOnly.load(); }
    // The descriptor, or -1 when closed. For tests and log lines only: it
    // may be closed by another thread as soon as it is returned.
    int getSocket() const { return sock.load(); }

    // True when a datagram can be read now.
    bool isReadDataReady() const;
    // Waits up to sec s + usec µs (negative parts count as 0) for a readable
    // datagram; true if one arrived. A signal does not cut the wait short.
    // False on time-out, error or a closed endpoint.
    bool waitForData(int sec, int usec) const;
    // Waits without a time limit. False on error, including an interrupted
    // wait, and when the endpoint is or gets closed; callers loop.
    bool waitForData() const;

    // Reads one pending datagram of at most `len` bytes (a longer one is cut)
    // without blocking and remembers its sender. Returns the bytes stored,
    // 0 when nothing is pending, negative on error or a closed endpoint.
    int readSocket(unsigned char* buf, unsigned int len);
    // Sends `buf` once to every write port and returns the sum of the
    // per-port results (each the byte count or -1; a port outside 1..65535
    // counts -1 and is not sent to); 0 when the first write port is 0. Never
    // blocks: a full socket buffer drops the datagram. A null `buf` with a
    // non-zero `len` sends nothing and returns -1.
    int writeSocket(const unsigned char* buf, unsigned int len);

    // One request/response exchange: drops datagrams already pending, sends
    // `out`, waits up to the reply time-out (5 s) and reads one reply of at
    // most `inLen` bytes. Returns the reply length, or 0 when the request was
    // not sent whole to exactly one port (so an endpoint with several write
    // ports always gets 0, without waiting), on time-out or on error.
    int sendRecv(const unsigned char* out, int outLen, unsigned char* in, int inLen);
    // Test seam: the reply time-out of sendRecv.
    void setReplyTimeout(std::chrono::milliseconds timeout);

    // Dotted-decimal address of the last sender (0.0.0.0 before any read).
    std::string getReadAddressAsString() const;
    // The last sender; before any read, AF_INET, the read port, address any.
    sockaddr_in getReadSockAddr() const;
    // The destination: host, and port = first write port.
    sockaddr_in getWriteSockAddr() const;
    // The destination host as text: the host given at set-up, the address
    // of a client adopted by setWriteSockAddr(), or RESET_ADDRESS after
    // resetWriteSockAddr(). Callers that report the destination read it here.
    std::string getWriteHost() const;
    // The write ports; unused entries are 0.
    PortList getWritePorts() const;
    int getReadPort() const;

    // True when the last sender's address is the destination's (ports are
    // not compared); false before any datagram was read.
    bool isRegUser() const;
    // True when `ip` is exactly the numeric text of an IPv4 address of one of
    // this host's network interfaces. Needs no endpoint.
    static bool isLocalInterfaceAddress(const char* ip);

    // Adopts the last sender as the destination (getWriteHost() then gives
    // its address as text). With samePort (first write port == read port at
    // set-up) the client is answered on the port it sent from; otherwise the
    // configured write ports stay. Returns false when there was no sender
    // yet or the sender already is the destination; true otherwise, also
    // when the loop guard refused a sender that is this endpoint itself.
    bool setWriteSockAddr();
    // Forgets the client: the destination becomes RESET_ADDRESS on the first
    // write port.
    void resetWriteSockAddr();

    // Text form of a port list for messages: every positive entry of all 16,
    // comma separated ({32001, 0, 34001} gives "32001,34001").
    static std::string getTransmitPorts(const PortList& ports);

private:
    // Owns one open socket descriptor and closes it when the last user lets
    // go of it.
    struct Descriptor;
    using DescriptorRef = std::shared_ptr<const Descriptor>;

    int setUp(const char* host, int readPortArg, const int* writePortList, int flags);
    // Sends to every write port; `portsUsed` receives how many were tried.
    int writeAll(const unsigned char* buf, unsigned int len, int& portsUsed);
    // Discards datagrams already queued; returns how many.
    int dropPending();
    // The open socket, held for the length of one system call; null when
    // closed.
    DescriptorRef lease() const;
    // Publishes `next` (may be null) and lets go of the previous socket,
    // waking any thread blocked waiting on it.
    void replaceDescriptor(DescriptorRef next);

    // Guards readSockAddr, writeSockAddr, writeHost, readPort, writePorts,
    // samePort, haveSender and bindHost. Held across a whole writeSocket so that every write port
    // sees concurrent writers in the same order.
    mutable std::mutex mutex;
    sockaddr_in readSockAddr{};
    sockaddr_in writeSockAddr{};
    std::string writeHost;
    int readPort = 0;
    PortList writePorts{};
    bool samePort = false;
    bool haveSender = false;
    std::string bindHost;

    // Operations lease the descriptor instead of reading a bare number, so a
    // number is never used after its close (by then it may name another
    // file). `sock` mirrors the number for isOpen()/getSocket().
    mutable std::mutex descriptorMutex;
    DescriptorRef descriptor;
    std::atomic_int sock{-1};
    std::atomic_bool bound{false};
    std::atomic_bool loopbackOnly{false};

    std::atomic<long long> replyTimeoutMs{5000};
};

} // namespace halvane
