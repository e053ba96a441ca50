// The running bridge through the real binary: vocoder choice, endpoints,
// registration and pings, the TLV receive loop, hostile datagrams, exit.
#include "DaemonFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace halvane {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes usrpPacket(uint32_t type, const std::string& payload = "", uint32_t keyup = 0, size_t size = 0)
{
    Bytes p(32 + (payload.empty() ? 0 : payload.size() + 1), 0);
    std::memcpy(p.data(), "USRP", 4);
    p[15] = static_cast<uint8_t>(keyup);
    p[20] = static_cast<uint8_t>(type);
    std::copy(payload.begin(), payload.end(), p.begin() + 32);
    if (size != 0)
        p.resize(size, 0);
    return p;
}

uint32_t typeOf(const Bytes& p)
{
    return p.size() >= 24 ? p[20] | p[21] << 8 | p[22] << 16 | static_cast<uint32_t>(p[23]) << 24 : ~0u;
}

std::string textOf(const Bytes& p)
{
    if (p.size() <= 32)
        return "";
    return std::string(reinterpret_cast<const char*>(p.data() + 32), strnlen(reinterpret_cast<const char*>(p.data() + 32), p.size() - 32));
}

// The next text packet, skipping pings and other traffic.
std::optional<Bytes> nextText(const UdpSocket& s, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto p = s.receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
        if (p && typeOf(*p) == 2)
            return p;
    }
    return std::nullopt;
}

} // namespace

TEST(Bridge, DmrWithoutHardwareOrFallbackExits252BeforeOpeningEndpoints)
{
    Daemon d;
    d.start(d.ini());
    ASSERT_EQ(d.process->wait(), 252);
    EXPECT_TRUE(d.hasLog("F: "));
    EXPECT_TRUE(d.hasLog("DV3000 not found!, Fatal error exiting.\n"));
    EXPECT_FALSE(d.hasLog("Sending to USRP clients"));
}

TEST(Bridge, ImbeModeRunsOnTheSoftwareVocoderWithoutHardware)
{
    Daemon d;
    d.start(d.ini("", "ambeMode = P25\n"));
    ASSERT_TRUE(d.waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread"));
    EXPECT_TRUE(d.hasLog("Using software MBE decoder version 1.2.3\n"));
    EXPECT_TRUE(d.hasLog("Using software IMBE/AMBE vocoder\n"));
    EXPECT_TRUE(d.hasLog("Open UDP listener on 127.0.0.1:" + std::to_string(d.ports.tlvRx) + "\n"));
    EXPECT_TRUE(d.hasLog("Sending to USRP clients at 127.0.0.1 on port(s) " + std::to_string(d.ports.usrpTx) + "\n"));
    EXPECT_FALSE(d.hasLog("Sending PCM"));
}

TEST(Bridge, ClientRegistersIsPingedAndTheExitIsAnnounced)
{
    Daemon d;
    UdpSocket client(d.ports.usrpTx);
    ASSERT_TRUE(d.startRunning("", "", "pingTimer = 1\n"));

    client.sendTo(d.ports.usrpRx, usrpPacket(2, "REG:QUILLNET"));
    auto ok = nextText(client);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->size(), 352u);
    EXPECT_EQ(textOf(*ok), "REG:OK");

    // Pings every pingTimer seconds while registered.
    std::optional<Bytes> ping;
    for (int i = 0; i < 5 && !(ping && typeOf(*ping) == 3); ++i)
        ping = client.receive(std::chrono::seconds(3));
    ASSERT_TRUE(ping);
    EXPECT_EQ(typeOf(*ping), 3u);
    EXPECT_EQ(ping->size(), 352u);
    EXPECT_EQ(textOf(*ping), "PING");

    client.sendTo(d.ports.usrpRx, usrpPacket(3, "PING"));
    EXPECT_TRUE(d.waitForLog("Got PING from USRP client\n"));

    d.process->signal(SIGTERM);
    auto exiting = nextText(client);
    ASSERT_TRUE(exiting);
    EXPECT_EQ(textOf(*exiting), "REG:EXITING 0 0");
    EXPECT_EQ(d.process->wait(), 0);
    EXPECT_TRUE(d.hasLog("Signal 15 received, exiting Halvane\n"));
}

// With the transmit port equal to the receive port, a local address is
// replaced by the link-local one and every client is answered on the port
// it sent from, so two clients can take turns.
TEST(Bridge, SecondClientReplacesTheFirstWhichIsToldToGo)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning("", "", "TXPort = " + std::to_string(d.ports.usrpRx) + "\n"));
    EXPECT_TRUE(d.hasLog("WARNING, USRP can not have same ports (" + std::to_string(d.ports.usrpRx) +
                         ") defined for local network interface.  Using 169.254.42.42\n"));

    UdpSocket first, second;
    first.sendTo(d.ports.usrpRx, usrpPacket(2, "REG:QUILLNET"));
    auto ok = nextText(first);
    ASSERT_TRUE(ok);
    EXPECT_EQ(textOf(*ok), "REG:OK");

    second.sendTo(d.ports.usrpRx, usrpPacket(2, "REG:QUILLNET"));
    auto unreg = nextText(first);
    ASSERT_TRUE(unreg);
    EXPECT_EQ(textOf(*unreg), "REG:UNREG");
    auto ok2 = nextText(second);
    ASSERT_TRUE(ok2);
    EXPECT_EQ(textOf(*ok2), "REG:OK");

    second.sendTo(d.ports.usrpRx, usrpPacket(2, "REG:UNREG"));
    EXPECT_TRUE(d.waitForLog("USRP unregister client\n"));
}

TEST(Bridge, TlvRecordsAreQueuedAndMismatchesLogged)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning("logLevel = 1\n"));
    UdpSocket partner;
    partner.sendTo(d.ports.tlvRx, {12, 0});
    EXPECT_TRUE(d.waitForLog("TLV record tag 12 length 0\n"));

    Bytes ambe(29, 0);
    ambe[0] = 7;
    ambe[1] = 28;
    partner.sendTo(d.ports.tlvRx, ambe);
    EXPECT_TRUE(d.waitForLog("TLV length does not match UDP/serial bytes received (got 29 and tlv says 28)\n"));

    partner.sendTo(d.ports.tlvRx, usrpPacket(0, "", 0, 352));
    EXPECT_TRUE(d.waitForLog("Port configuration error, just got a USRP packet on host:port 127.0.0.1:" +
                             std::to_string(d.ports.tlvRx) + "\n"));

    // A TLV record from the USRP client takes the same queue.
    UdpSocket client;
    Bytes tlv = usrpPacket(4, "", 0, 352);
    tlv[32] = 13;
    tlv[33] = 2;
    tlv[34] = 'h';
    tlv[35] = 'i';
    client.sendTo(d.ports.usrpRx, tlv);
    EXPECT_TRUE(d.waitForLog("TLV record tag 13 length 2\n"));
}

TEST(Bridge, HostileDatagramsAreDroppedAndTheBridgeStaysUp)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning());
    UdpSocket peer;
    peer.sendTo(d.ports.usrpRx, {'X', 'S', 'R', 'P', 0, 0});
    EXPECT_TRUE(d.waitForLog("Received USRP packet without proper header\n"));
    for (size_t size : {0, 1, 2, 3, 4, 31, 33, 353, 2000}) {
        Bytes junk(size, 0xA5);
        if (size >= 4)
            std::memcpy(junk.data(), "USRP", 4);
        peer.sendTo(d.ports.usrpRx, junk);
        peer.sendTo(d.ports.tlvRx, junk);
    }
    Bytes tlvHeaderOnly = {0xFF};
    peer.sendTo(d.ports.tlvRx, tlvHeaderOnly);

    // Still answering.
    UdpSocket client(d.ports.usrpTx);
    client.sendTo(d.ports.usrpRx, usrpPacket(2, "REG:QUILLNET"));
    auto ok = nextText(client);
    ASSERT_TRUE(ok);
    EXPECT_EQ(textOf(*ok), "REG:OK");
    EXPECT_EQ(d.process->wait(std::chrono::milliseconds(10)), -1);
}

} // namespace halvane
