// The running bridge through the real binary: registration and pings, the
// TLV receive loop, hostile datagrams, exit.
#include "DaemonFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace halvane {

using namespace std::chrono_literals;

// With the transmit port equal to the receive port, a local address is
// replaced by the link-local one and every client is answered on the port
// it sent from, so two clients can take turns; the registered one is
// pinged every pingTimer seconds.
TEST(Bridge, ClientsTakeTurnsArePingedAndUnregister)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning("", "", "TXPort = " + std::to_string(d.ports.usrpRx) + "\npingTimer = 1\n"));
    EXPECT_TRUE(d.hasLog("WARNING, USRP can not have same ports (" + std::to_string(d.ports.usrpRx) +
                         ") defined for local network interface.  Using 169.254.42.42\n"));
    UsrpClient first, second;
    std::string error;
    ASSERT_TRUE(first.open({"127.0.0.1", 0, "127.0.0.1", d.ports.usrpRx}, error) &&
                second.open({"127.0.0.1", 0, "127.0.0.1", d.ports.usrpRx}, error))
        << error;

    ASSERT_TRUE(first.registerClient());
    auto ok = first.receiveText("REG:OK", 5s);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->datagram.size(), 352u);
    auto ping = first.receiveMatching([](const UsrpMessage& m) { return m.kind == UsrpMessage::Kind::Ping; }, 5s);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->datagram.size(), 352u);
    EXPECT_EQ(ping->text, "PING");

    ASSERT_TRUE(second.registerClient());
    EXPECT_TRUE(first.receiveText("REG:UNREG", 5s));
    EXPECT_TRUE(second.receiveText("REG:OK", 5s));
    ASSERT_TRUE(second.sendPing());
    EXPECT_TRUE(d.waitForLog("Got PING from USRP client\n"));
    ASSERT_TRUE(second.unregisterClient());
    EXPECT_TRUE(d.waitForLog("USRP unregister client\n"));

    d.process->signal(SIGTERM);
    EXPECT_EQ(d.process->wait(), 0);
    EXPECT_TRUE(d.hasLog("Signal 15 received, exiting Halvane\n"));
}

// Records whose length disagrees with the datagram, USRP packets on the TLV
// port, cut headers and junk of any size are logged and dropped; a TLV
// record from the USRP client takes the partner's queue; the bridge stays up.
TEST(Bridge, StrayAndHostileDatagramsAreDroppedAndTheBridgeStaysUp)
{
    using Bytes = std::vector<std::uint8_t>;
    Daemon d;
    ASSERT_TRUE(d.startRunning("logLevel = 1\n"));
    UdpSocket peer;
    peer.sendTo(d.ports.tlvRx, {12, 0});
    EXPECT_TRUE(d.waitForLog("TLV record tag 12 length 0\n"));
    Bytes ambe(29, 0);
    ambe[0] = 7;
    ambe[1] = 28;
    peer.sendTo(d.ports.tlvRx, ambe);
    EXPECT_TRUE(d.waitForLog("TLV length does not match UDP/serial bytes received (got 29 and tlv says 28)\n"));

    Bytes usrp(352, 0);
    std::memcpy(usrp.data(), "USRP", 4);
    peer.sendTo(d.ports.tlvRx, usrp);
    EXPECT_TRUE(d.waitForLog("Port configuration error, just got a USRP packet on host:port 127.0.0.1:" +
                             std::to_string(d.ports.tlvRx) + "\n"));
    usrp[20] = 4; // a TLV record inside
    usrp[32] = 13;
    usrp[33] = 2;
    peer.sendTo(d.ports.usrpRx, usrp);
    EXPECT_TRUE(d.waitForLog("TLV record tag 13 length 2\n"));

    peer.sendTo(d.ports.usrpRx, {'X', 'S', 'R', 'P', 0, 0});
    EXPECT_TRUE(d.waitForLog("Received USRP packet without proper header\n"));
    for (std::size_t size : {0, 1, 2, 3, 4, 31, 33, 353, 2000}) {
        Bytes junk(size, 0xA5);
        if (size >= 4)
            std::memcpy(junk.data(), "USRP", 4);
        peer.sendTo(d.ports.usrpRx, junk);
        peer.sendTo(d.ports.tlvRx, junk);
    }
    peer.sendTo(d.ports.tlvRx, {0xFF});

    UsrpClient client;
    EXPECT_TRUE(d.connect(client, true)) << "still answering";
    EXPECT_EQ(d.process->wait(10ms), -1);
}

} // namespace halvane
