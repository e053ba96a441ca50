// The remote control's own rules over loopback UDP: the 255-byte cut, what
// it ignores, and the address it listens on. The command table through the
// real program: tests/e2e/Console_test.cpp.
#include "CRemoteControl.h"
#include "LogCapture.h"
#include "UdpSocket.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace halvane {

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class RemoteRig {
public:
    explicit RemoteRig(const char* address = "127.0.0.1")
    {
        settings.remoteControlAddress.set(address);
        settings.remoteControlPort = freeUdpPort();
        settings.remoteControlReplyPort = replies.port();
        remote = std::make_unique<CRemoteControl>(settings);
    }

    // Sends `command` to the remote control's port on `host`.
    void send(const std::string& command, const char* host = "127.0.0.1") const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(settings.remoteControlPort.load()));
        inet_pton(AF_INET, host, &to.sin_addr);
        sendto(panel, command.data(), command.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }

    std::string reply(std::chrono::milliseconds wait = 2s) const
    {
        const auto datagram = replies.receive(wait);
        return datagram ? std::string(datagram->begin(), datagram->end()) : "(nothing)";
    }

    ~RemoteRig() { close(panel); }
    RemoteRig(const RemoteRig&) = delete;
    RemoteRig& operator=(const RemoteRig&) = delete;

    LogCapture log;
    dv3000_servers settings;
    UdpSocket replies;
    std::unique_ptr<CRemoteControl> remote;
    int panel = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

} // namespace

TEST(CRemoteControl, CutsACommandAt255Bytes)
{
    RemoteRig rig;
    rig.send("get " + std::string(296, 'x'));
    EXPECT_EQ(rig.reply(), "reply " + std::string(251, 'x') + " unknown");
}

// Broken and foreign commands change nothing and are not answered; the log
// shows a command's control bytes as dots, so a datagram cannot drive the
// operator's terminal.
TEST(CRemoteControl, IgnoresWhatIsNotACommand)
{
    RemoteRig rig;
    for (const char* junk : {"", "set", "get", "set vox", "set vox_threshold", "set info", "hello world", "SET vox true",
                             "get\x1b[2J"})
        rig.send(junk);
    rig.send("get vox_threshold");
    EXPECT_EQ(rig.reply(), "reply vox_threshold 200");
    EXPECT_FALSE(rig.settings.useVox);
    EXPECT_TRUE(rig.log.contains("Remote control: get.[2J"));
    EXPECT_FALSE(rig.remote->getPttToggle());
}

// Loopback by default; another address only when it is configured, and then
// only that one.
TEST(CRemoteControl, ListensOnTheConfiguredAddressOnly)
{
    {
        RemoteRig rig;
        rig.send("get vox", "127.0.0.2");
        EXPECT_EQ(rig.reply(300ms), "(nothing)");
        rig.send("get vox");
        EXPECT_EQ(rig.reply(), "reply vox false");
    }
    RemoteRig rig("127.0.0.2");
    rig.send("get vox");
    EXPECT_EQ(rig.reply(300ms), "(nothing)");
    rig.send("get vox", "127.0.0.2");
    EXPECT_EQ(rig.reply(), "reply vox false");
}

} // namespace halvane
