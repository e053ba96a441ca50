// Only the configured peers get in, through the real binary. Another
// loopback address (127.0.0.2) stands in for another host: tests never send
// beyond loopback. What the guard decides per datagram is tested without
// the daemon (tests/transport/SourceGuard_test.cpp).
#include "DaemonFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto REPLY = 10s;

// The local address (hex, as /proc/net/udp has it) of the UDP socket bound
// to `port`, or "" when there is none.
std::string boundAddress(int port)
{
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() == 13 && local.substr(8) == wanted)
            return local.substr(0, 8);
    }
    return "";
}

json infoFile(const Daemon& d)
{
    return json::parse(readFile(d.infoPath()), nullptr, false);
}

std::string dropped(const json& info, const char* direction)
{
    if (!info.is_object() || !info.contains("health"))
        return "";
    const json& value = info["health"][direction]["dropped_unknown_source"];
    return value.is_string() ? value.get<std::string>() : "";
}

} // namespace

// From another host, a partner's commands ("exit=" among them) and a
// client's registration, digits and command change nothing: they are
// counted and each sender is named once in the log. The peers on the
// configured host get in from any port, and the listeners are on loopback.
TEST(PeerGuard, DatagramsFromAnotherHostChangeNothingAndAreCounted)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning());
    EXPECT_EQ(boundAddress(d.ports.tlvRx), "0100007F");
    EXPECT_EQ(boundAddress(d.ports.usrpRx), "0100007F");
    TlvPartner partner, stranger;
    UsrpClient client, intruder;
    ASSERT_TRUE(d.connect(partner) && d.connect(stranger, "127.0.0.2") && d.connect(client) &&
                d.connect(intruder, false, "127.0.0.2"));

    for (const char* command : {"txTg=777", "exit=0 0", "exit=0 0"})
        ASSERT_TRUE(stranger.sendCommand(command));
    ASSERT_TRUE(intruder.registerClient());
    ASSERT_TRUE(intruder.sendDtmf("778"));
    ASSERT_TRUE(intruder.sendCommand("exit=0 0"));
    // The peers' own datagrams come after those, and are taken.
    ASSERT_TRUE(client.registerClient());
    ASSERT_TRUE(client.receiveText("REG:OK", REPLY));
    ASSERT_TRUE(partner.sendCommand("txTs=1"));
    ASSERT_TRUE(d.waitForLog("txTs=: 1\n"));

    EXPECT_FALSE(intruder.receive(300ms)) << "the intruder was answered";
    EXPECT_EQ(d.process->wait(0ms), -1);
    EXPECT_FALSE(d.hasLog("txTg=: 77"));
    EXPECT_EQ(d.countLines("Dropped a datagram from 127.0.0.2:" + std::to_string(stranger.localPort()) +
                                  " on the TLV port: not the configured peer 127.0.0.1"),
              1);
    EXPECT_EQ(d.countLines("Dropped a datagram from 127.0.0.2:" + std::to_string(d.ports.usrpTx) +
                                  " on the USRP port: not the configured peer 127.0.0.1"),
              1);
    ASSERT_TRUE(eventually([&] { return dropped(infoFile(d), "tlv_to_usrp") == "3"; }, REPLY));
    EXPECT_EQ(dropped(infoFile(d), "usrp_to_tlv"), "3");

    // The partner's own "exit=" is still obeyed.
    ASSERT_TRUE(partner.sendCommand("exit=3 0"));
    EXPECT_EQ(d.process->wait(REPLY), 3);
}

// acceptAnySource opens a listener to every sender, on every address.
TEST(PeerGuard, AcceptAnySourceOpensTheListenersOnPurpose)
{
    Daemon d;
    ASSERT_TRUE(d.startRunning("", "acceptAnySource = true\n", "acceptAnySource = true\n"));
    EXPECT_EQ(boundAddress(d.ports.tlvRx), "00000000");
    EXPECT_EQ(boundAddress(d.ports.usrpRx), "00000000");
    TlvPartner partner;
    UsrpClient client;
    ASSERT_TRUE(d.connect(partner, "127.0.0.2"));
    ASSERT_TRUE(partner.sendCommand("txTs=1"));
    ASSERT_TRUE(d.waitForLog("txTs=: 1\n"));
    EXPECT_TRUE(d.connect(client, true, "127.0.0.2"));
    EXPECT_FALSE(d.hasLog("Dropped"));
}

// A second Halvane on the same ports stops at start-up with its reason,
// instead of sharing them; the first keeps them.
TEST(PeerGuard, ASecondHalvaneOnTheSamePortsStopsAtStartUp)
{
    Daemon first;
    ASSERT_TRUE(first.startRunning());
    Daemon second;
    second.ports = first.ports;
    second.start(second.ini("decoderFallBack = true\n"));
    EXPECT_EQ(second.process->wait(REPLY), 251);
    const std::string port = std::to_string(first.ports.usrpRx);
    EXPECT_TRUE(second.hasLog("Can not bind port " + port + ", error code = 98 (Address already in use)"));
    EXPECT_TRUE(second.hasLog("Can not listen on port " + port + " ([USRP] RXPort)"));

    UsrpClient client;
    EXPECT_TRUE(first.connect(client, true));
    EXPECT_EQ(first.process->wait(0ms), -1);
}

} // namespace halvane
