#include "CDV3000_UDP.h"

#include "LogCapture.h"
#include "TempDir.h"
#include "UdpSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace halvane {

using namespace std::chrono_literals;

namespace {

// Upper bound for anything that should happen at once; only a failure waits
// this long.
constexpr auto LIMIT = 5s;

struct Datagram {
    std::string data;
    int fromPort = 0;
};

// The far side of an endpoint under test.
class Peer {
public:
    int port() const { return socket_.port(); }
    void sendTo(int port, const std::string& data) const { socket_.sendTo(port, std::vector<uint8_t>(data.begin(), data.end())); }
    std::optional<Datagram> receive(std::chrono::milliseconds limit = LIMIT) const
    {
        auto got = socket_.receiveFrom(limit);
        if (!got)
            return std::nullopt;
        return Datagram{std::string(got->first.begin(), got->first.end()), got->second};
    }

    // Proves nothing else reached this peer: a marker sent now must be the
    // next datagram it holds.
    void expectOnlyMarkerPending() const
    {
        Peer other;
        other.sendTo(port(), "marker");
        const auto next = receive();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->data, "marker");
    }

private:
    UdpSocket socket_;
};

const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

int writeText(CDV3000_UDP& ep, const std::string& s)
{
    return ep.writeSocket(bytes(s), static_cast<unsigned>(s.size()));
}

std::string readOne(CDV3000_UDP& ep)
{
    if (!ep.waitForData(5, 0))
        return "<nothing>";
    unsigned char buf[400];
    const int n = ep.readSocket(buf, sizeof(buf));
    return n < 0 ? "<error>" : std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
}

class UdpEndpoint : public ::testing::Test {
protected:
    LogCapture log;
};

TEST_F(UdpEndpoint, EveryFormListensOnItsReadPortAndSendsToItsWritePorts)
{
    Peer a, b, client;
    const int r = freeUdpPort();
    const int listAB[] = {a.port(), b.port(), 0};
    const int listRA[] = {r, a.port(), 0};

    CDV3000_UDP single("127.0.0.1", r, CDV3000_UDP::FLAG_BIND);
    EXPECT_EQ(writeText(single, "self"), 4); // read port and write port are one
    EXPECT_EQ(readOne(single), "self");
    single.closeSocket();

    CDV3000_UDP reopened;
    EXPECT_GT(reopened.openSocket("127.0.0.1", r, listAB, CDV3000_UDP::FLAG_BIND), 0);
    const int fd = reopened.openSocket("127.0.0.1", r, CDV3000_UDP::FLAG_BIND);
    EXPECT_EQ(fd, reopened.getSocket());
    EXPECT_EQ(writeText(reopened, "again"), 5);
    EXPECT_EQ(readOne(reopened), "again");
    reopened.closeSocket();

    CDV3000_UDP list("127.0.0.1", listRA, CDV3000_UDP::FLAG_BIND);
    EXPECT_EQ(list.getReadPort(), r);
    EXPECT_EQ(writeText(list, "both"), 8);
    EXPECT_EQ(readOne(list), "both");
    EXPECT_EQ(a.receive()->data, "both");
    list.closeSocket();

    CDV3000_UDP pair("127.0.0.1", r, a.port(), CDV3000_UDP::FLAG_BIND);
    client.sendTo(r, "to pair");
    EXPECT_EQ(readOne(pair), "to pair");
    EXPECT_EQ(ntohs(pair.getReadSockAddr().sin_port), client.port());
    EXPECT_EQ(pair.getReadAddressAsString(), "127.0.0.1");
    EXPECT_EQ(writeText(pair, "one"), 3);
    EXPECT_EQ(a.receive()->data, "one");
    pair.closeSocket();

    // Unbound, as towards an AMBE server: the reply comes back to the
    // system-chosen port.
    CDV3000_UDP unbound("127.0.0.1", 0, listAB, 0);
    EXPECT_EQ(writeText(unbound, "req"), 6);
    EXPECT_EQ(b.receive()->data, "req");
    const auto atA = a.receive();
    ASSERT_TRUE(atA.has_value());
    a.sendTo(atA->fromPort, "rsp");
    EXPECT_EQ(readOne(unbound), "rsp");
}

TEST_F(UdpEndpoint, FailedBindIsLoggedAndTheSocketStillSends)
{
    Peer occupant, target; // the occupant's socket has no SO_REUSEADDR
    CDV3000_UDP ep("127.0.0.1", occupant.port(), target.port(), CDV3000_UDP::FLAG_BIND);
    EXPECT_NE(log.text().find("Can not bind port " + std::to_string(occupant.port()) + ", error code = 98 ("),
              std::string::npos);
    ASSERT_TRUE(ep.isOpen());
    EXPECT_EQ(writeText(ep, "still"), 5);
    EXPECT_EQ(target.receive()->data, "still");

    CDV3000_UDP outOfRange("127.0.0.1", 70000, target.port(), CDV3000_UDP::FLAG_BIND);
    EXPECT_NE(log.text().find("Can not bind port 70000, error code = 22 ("), std::string::npos);
}

// A second listener on a port (a second Halvane) is refused, not given half
// the datagrams; a loopback listener hears only this host and drops what
// it cannot send without an error.
TEST_F(UdpEndpoint, ABoundPortIsNeverSharedAndALoopbackListenerStaysOnLoopback)
{
    const int r = freeUdpPort();
    CDV3000_UDP first("127.0.0.1", r, CDV3000_UDP::FLAG_BIND | CDV3000_UDP::FLAG_LOOPBACK);
    ASSERT_TRUE(first.isBound());
    for (const int flags : {CDV3000_UDP::FLAG_BIND, CDV3000_UDP::FLAG_BIND | CDV3000_UDP::FLAG_LOOPBACK}) {
        CDV3000_UDP second("127.0.0.1", r, flags);
        EXPECT_FALSE(second.isBound());
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(::getsockname(first.getSocket(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(ntohl(local.sin_addr.s_addr), INADDR_LOOPBACK);

    // Another loopback address is still this host.
    const int other = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in second{};
    second.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &second.sin_addr);
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&second), sizeof(second)), 0);
    local.sin_port = htons(static_cast<uint16_t>(r));
    ASSERT_EQ(::sendto(other, "hi", 2, 0, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 2);
    ::close(other);
    EXPECT_EQ(readOne(first), "hi");
    EXPECT_EQ(first.getReadAddressAsString(), "127.0.0.2");

    first.resetWriteSockAddr();
    EXPECT_EQ(writeText(first, "lost"), 4);
    first.closeSocket();
    EXPECT_FALSE(first.isBound());
}

// A listener narrowed to one address hears nothing sent to another.
TEST_F(UdpEndpoint, BindAddressNarrowsTheListener)
{
    const int r = freeUdpPort();
    CDV3000_UDP ep;
    ep.setBindAddress("127.0.0.2");
    ep.openSocket("127.0.0.2", r, CDV3000_UDP::FLAG_BIND);
    EXPECT_EQ(writeText(ep, "two"), 3);
    EXPECT_EQ(readOne(ep), "two");
    Peer().sendTo(r, "one"); // to 127.0.0.1
    EXPECT_FALSE(ep.waitForData(0, 200000));
}

TEST_F(UdpEndpoint, WriteListEndsAtZeroAndAfterSixteenPorts)
{
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<int> ports;
    for (int i = 0; i < 17; ++i) {
        peers.push_back(std::make_unique<Peer>());
        ports.push_back(peers.back()->port());
    }
    ports.push_back(0);

    CDV3000_UDP many("127.0.0.1", 0, ports.data(), 0);
    EXPECT_EQ(writeText(many, "x"), 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(peers[i]->receive()->data, "x") << "port " << i;
    peers[16]->expectOnlyMarkerPending();

    const int firstZero[] = {0, ports[0], 0};
    CDV3000_UDP none("127.0.0.1", 0, firstZero, 0);
    EXPECT_EQ(writeText(none, "x"), 0);
    peers[0]->expectOnlyMarkerPending();

    // A port whose low 16 bits name another port must not reach that port.
    const int wide[] = {ports[0], ports[1] + 65536, 0};
    CDV3000_UDP cut("127.0.0.1", 0, wide, 0);
    EXPECT_EQ(writeText(cut, "abc"), 3 - 1);
    EXPECT_EQ(peers[0]->receive()->data, "abc");
    peers[1]->expectOnlyMarkerPending();
}

TEST_F(UdpEndpoint, UnresolvableHostLeavesTheAnyAddress)
{
    for (const char* host : {static_cast<const char*>(nullptr), "", "not a host!"}) {
        CDV3000_UDP ep(host, 0, 32001, 0);
        EXPECT_TRUE(ep.isOpen());
        EXPECT_EQ(ep.getWriteSockAddr().sin_addr.s_addr, htonl(INADDR_ANY));
        EXPECT_EQ(ntohs(ep.getWriteSockAddr().sin_port), 32001);
    }
}

TEST_F(UdpEndpoint, HostileSizesAreCutOrRefused)
{
    Peer sender, target;
    const int r = freeUdpPort();
    CDV3000_UDP ep("127.0.0.1", r, target.port(), CDV3000_UDP::FLAG_BIND);
    unsigned char empty[8];
    EXPECT_EQ(ep.readSocket(empty, sizeof(empty)), 0); // nothing pending: ends at once
    EXPECT_FALSE(ep.isReadDataReady());
    EXPECT_FALSE(ep.waitForData(0, 2000));
    EXPECT_FALSE(ep.waitForData(-1, -1));

    sender.sendTo(r, "0123456789");
    ASSERT_TRUE(ep.waitForData(5, 0));
    EXPECT_TRUE(ep.isReadDataReady());
    unsigned char buf[8] = {0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ep.readSocket(buf, 4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "0123");
    EXPECT_EQ(buf[4], 0xEE);

    EXPECT_EQ(ep.readSocket(nullptr, 8), -1);
    EXPECT_EQ(ep.writeSocket(nullptr, 8), -1);
    const std::vector<unsigned char> huge(70000, 1);
    EXPECT_LT(ep.writeSocket(huge.data(), static_cast<unsigned>(huge.size())), 0);
    unsigned char in[4];
    EXPECT_EQ(ep.sendRecv(nullptr, 4, in, 4), 0);
    EXPECT_EQ(ep.sendRecv(buf, -1, in, 4), 0);
    EXPECT_EQ(ep.sendRecv(buf, 0, in, 4), 0);
    EXPECT_EQ(ep.sendRecv(buf, 4, in, -1), 0);
    EXPECT_EQ(ep.sendRecv(buf, 4, nullptr, 4), 0);
    target.expectOnlyMarkerPending();
}

TEST_F(UdpEndpoint, ClosedEndpointFailsWithoutTouchingAReusedDescriptor)
{
    Peer target;
    CDV3000_UDP ep("127.0.0.1", 0, target.port(), 0);
    ep.closeSocket();
    ep.closeSocket();
    EXPECT_FALSE(ep.isOpen());

    Peer successor; // most likely given the number the endpoint had
    unsigned char buf[8];
    EXPECT_EQ(writeText(ep, "stale"), -1);
    EXPECT_EQ(ep.readSocket(buf, sizeof(buf)), -1);
    EXPECT_FALSE(ep.waitForData(0, 0));
    EXPECT_FALSE(ep.waitForData());
    EXPECT_EQ(ep.sendRecv(buf, 4, buf, 4), 0);
    target.expectOnlyMarkerPending();
}

// The system call thread `tid` sits in; -2 while it runs, -1 when /proc
// cannot tell.
long currentSyscall(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string first;
    if (!(in >> first))
        return -1;
    if (first == "running")
        return -2;
    return std::strtol(first.c_str(), nullptr, 10);
}

bool isPollCall(long number)
{
#ifdef SYS_ppoll_time64
    if (number == SYS_ppoll_time64)
        return true;
#endif
    return number == SYS_ppoll;
}

TEST_F(UdpEndpoint, CloseAndReopenWakeAThreadWaitingWithoutLimit)
{
    const int r = freeUdpPort();
    auto ep = std::make_shared<CDV3000_UDP>("127.0.0.1", r, CDV3000_UDP::FLAG_BIND);
    for (const bool reopen : {false, true}) {
        if (!ep->isOpen())
            ep->openSocket("127.0.0.1", r, CDV3000_UDP::FLAG_BIND);
        auto result = std::make_shared<std::promise<bool>>();
        auto waiter = std::make_shared<std::promise<pid_t>>();
        // Detached, so that a wait that never wakes fails the test instead of
        // hanging it.
        std::thread([ep, result, waiter] {
            waiter->set_value(::gettid());
            result->set_value(ep->waitForData());
        }).detach();
        const pid_t tid = waiter->get_future().get();
        // Only a wait already blocked on the old socket proves the wake-up.
        const auto deadline = std::chrono::steady_clock::now() + LIMIT;
        long call = currentSyscall(tid);
        while (!isPollCall(call) && call != -1 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
            call = currentSyscall(tid);
        }
        if (call == -1)
            GTEST_SKIP() << "/proc does not show the waiting thread's system call";
        ASSERT_TRUE(isPollCall(call));

        if (reopen)
            ep->openSocket("127.0.0.1", r, CDV3000_UDP::FLAG_BIND);
        else
            ep->closeSocket();
        auto woke = result->get_future();
        ASSERT_EQ(woke.wait_for(LIMIT), std::future_status::ready) << "reopen " << reopen;
        EXPECT_FALSE(woke.get());
    }
}

TEST_F(UdpEndpoint, SamePortEndpointAnswersAClientOnThePortItSentFrom)
{
    Peer client;
    const int r = freeUdpPort();
    CDV3000_UDP ep("127.0.0.9", r, CDV3000_UDP::FLAG_BIND);
    EXPECT_FALSE(ep.setWriteSockAddr()); // nobody to learn yet

    client.sendTo(r, "REG");
    ASSERT_EQ(readOne(ep), "REG");
    EXPECT_FALSE(ep.isRegUser());
    EXPECT_TRUE(ep.setWriteSockAddr());
    EXPECT_TRUE(ep.isRegUser());
    const std::string change =
        "USRP server ip change from 127.0.0.9 to new ip:port 127.0.0.1:" + std::to_string(client.port()) + "\n";
    EXPECT_NE(log.text().find(change), std::string::npos);
    EXPECT_EQ(ep.getWritePorts()[0], client.port());
    EXPECT_EQ(writeText(ep, "OK"), 2);
    EXPECT_EQ(client.receive()->data, "OK");

    // The destination itself again: nothing to learn, nothing logged.
    const std::size_t before = log.text().size();
    client.sendTo(r, "REG");
    ASSERT_EQ(readOne(ep), "REG");
    EXPECT_FALSE(ep.setWriteSockAddr());
    EXPECT_EQ(log.text().find("USRP server ip change", before), std::string::npos);

    ep.resetWriteSockAddr();
    const sockaddr_in dest = ep.getWriteSockAddr();
    EXPECT_EQ(dest.sin_addr.s_addr, inet_addr("169.254.42.42"));
    EXPECT_EQ(ntohs(dest.sin_port), client.port());
    EXPECT_NE(log.text().find("USRP reset server IP address to 169.254.42.42:" + std::to_string(client.port()) + "\n"),
              std::string::npos);
    EXPECT_FALSE(ep.isRegUser());

    client.sendTo(r, "REG");
    ASSERT_EQ(readOne(ep), "REG");
    EXPECT_TRUE(ep.setWriteSockAddr());
    EXPECT_EQ(ep.getWriteHost(), "127.0.0.1");
}

TEST_F(UdpEndpoint, LearnedClientKeepsTheConfiguredWritePorts)
{
    Peer client, w1, w2;
    const int r = freeUdpPort();
    const int ports[] = {w1.port(), w2.port(), 0};
    CDV3000_UDP ep(nullptr, r, ports, CDV3000_UDP::FLAG_BIND);

    client.sendTo(r, "REG");
    ASSERT_EQ(readOne(ep), "REG");
    EXPECT_TRUE(ep.setWriteSockAddr());
    EXPECT_NE(log.text().find("to new ip:port 127.0.0.1:" + std::to_string(w1.port()) + "\n"), std::string::npos);
    EXPECT_EQ(writeText(ep, "audio"), 10);
    EXPECT_EQ(w1.receive()->data, "audio");
    EXPECT_EQ(w2.receive()->data, "audio");
    client.expectOnlyMarkerPending();
}

TEST_F(UdpEndpoint, LoopGuardRefusesTheEndpointItself)
{
    EXPECT_TRUE(CDV3000_UDP::isLocalInterfaceAddress("127.0.0.1"));
    EXPECT_NE(log.text().find("Looked for and found ip 127.0.0.1 on local interface "), std::string::npos);
    for (const char* notLocal : {"127.0.0.2", "127.0.0.1 ", "localhost", "", static_cast<const char*>(nullptr)})
        EXPECT_FALSE(CDV3000_UDP::isLocalInterfaceAddress(notLocal)) << (notLocal ? notLocal : "null");

    Peer w;
    const int r = freeUdpPort();
    const int ports[] = {w.port(), r, 0}; // the second copy comes back to us
    CDV3000_UDP ep("127.0.0.1", r, ports, CDV3000_UDP::FLAG_BIND);
    EXPECT_EQ(writeText(ep, "echo"), 8);
    ASSERT_EQ(readOne(ep), "echo");
    EXPECT_EQ(ntohs(ep.getReadSockAddr().sin_port), r);

    EXPECT_TRUE(ep.setWriteSockAddr());
    EXPECT_NE(log.text().find("The new IP and port matches our local IP and listener port.  This means we are about "
                              "to loop, so ignoring the new address\n"),
              std::string::npos);
    EXPECT_EQ(log.text().find("USRP server ip change"), std::string::npos);
    EXPECT_EQ(ntohs(ep.getWriteSockAddr().sin_port), w.port());
    EXPECT_EQ(ep.getWritePorts()[1], r);
    EXPECT_EQ(ep.getWriteHost(), "127.0.0.1");
}

// Answers every request it gets with `replies`, in order, until told to stop.
std::thread serve(const Peer& server, std::vector<std::string> replies, int requests)
{
    return std::thread([&server, replies, requests] {
        for (int i = 0; i < requests; ++i) {
            const auto request = server.receive();
            if (!request)
                return;
            for (const auto& reply : replies)
                server.sendTo(request->fromPort, reply + std::to_string(i));
        }
    });
}

TEST_F(UdpEndpoint, SendRecvPairsEachRequestWithItsOwnReply)
{
    Peer server;
    CDV3000_UDP ep("127.0.0.1", server.port(), 0);
    // The first request is answered twice; the surplus must not become the
    // answer to the second.
    std::thread first = serve(server, {"reply", "surplus"}, 1);
    unsigned char in[64];
    const std::string request = "req";
    ASSERT_EQ(ep.sendRecv(bytes(request), 3, in, sizeof(in)), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 6), "reply0");
    first.join();
    ASSERT_TRUE(ep.waitForData(5, 0)); // the surplus is queued now

    std::thread second = serve(server, {"reply"}, 1);
    EXPECT_EQ(ep.sendRecv(bytes(request), 3, in, 4), 4); // cut to the buffer
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "repl");
    second.join();
}

TEST_F(UdpEndpoint, SendRecvGivesUpOnSilenceAndOnSeveralWritePorts)
{
    Peer silent;
    CDV3000_UDP quiet("127.0.0.1", silent.port(), 0);
    quiet.setReplyTimeout(10ms);
    unsigned char in[16];
    EXPECT_EQ(quiet.sendRecv(bytes("req"), 3, in, sizeof(in)), 0);
    EXPECT_EQ(silent.receive()->data, "req");

    // Both servers answer; an exchange that waited would see an answer.
    Peer s1, s2;
    const int ports[] = {s1.port(), s2.port(), 0};
    CDV3000_UDP two("127.0.0.1", 0, ports, 0);
    std::thread a = serve(s1, {"a"}, 1);
    std::thread b = serve(s2, {"b"}, 1);
    EXPECT_EQ(two.sendRecv(bytes("req"), 3, in, sizeof(in)), 0);
    a.join();
    b.join();
}

TEST_F(UdpEndpoint, ConcurrentWritersReachEveryPortInTheSameOrder)
{
    Peer p1, p2;
    const int ports[] = {p1.port(), p2.port(), 0};
    CDV3000_UDP ep("127.0.0.1", 0, ports, 0);
    constexpr int WRITERS = 3;
    constexpr int EACH = 50;
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w)
        writers.emplace_back([&ep, w] {
            for (int i = 0; i < EACH; ++i)
                writeText(ep, std::to_string(w) + ":" + std::to_string(i));
        });
    for (auto& t : writers)
        t.join();

    std::vector<std::string> order1, order2;
    for (int i = 0; i < WRITERS * EACH; ++i) {
        const auto d1 = p1.receive();
        const auto d2 = p2.receive();
        ASSERT_TRUE(d1 && d2) << "datagram " << i;
        order1.push_back(d1->data);
        order2.push_back(d2->data);
    }
    EXPECT_EQ(order1, order2);
}

TEST_F(UdpEndpoint, ReaderWritersRegistrationAndCloseRunTogether)
{
    Peer c1, c2, sink;
    const int r = freeUdpPort();
    CDV3000_UDP ep("127.0.0.1", r, sink.port(), CDV3000_UDP::FLAG_BIND);
    std::atomic_int learned{0};
    std::thread reader([&] {
        unsigned char buf[64];
        while (ep.waitForData()) {
            if (ep.readSocket(buf, sizeof(buf)) <= 0)
                continue;
            (void)ep.isRegUser();
            (void)ep.getReadAddressAsString();
            if (ep.setWriteSockAddr())
                ++learned;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w)
        writers.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                writeText(ep, "voice");
        });
    for (int i = 0; i < 20; ++i)
        (i % 2 ? c1 : c2).sendTo(r, "REG");
    for (auto& t : writers)
        t.join();
    const auto deadline = std::chrono::steady_clock::now() + LIMIT;
    while (learned == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ep.closeSocket();
    reader.join();
    EXPECT_GT(learned, 0);
    EXPECT_EQ(ep.getWriteHost(), "127.0.0.1");
}

TEST(UdpEndpointPorts, TransmitPortsTextSkipsEntriesBelowOne)
{
    EXPECT_EQ(CDV3000_UDP::getTransmitPorts(PortList{32001, 0, 34001}), "32001,34001");
    EXPECT_EQ(CDV3000_UDP::getTransmitPorts(PortList{0, -5, 7}), "7");
}

} // namespace

} // namespace halvane
