// Command texts: the partner's command records, and the USRP client's text
// and DTMF packets, through the real command interpreter with the bridge,
// the senders and the shell replaced by recorders. The first input byte says
// which door the rest comes through.
//
// Left out, by design of the harness rather than of the code: "exit="
// (ending the process is the command's purpose). "macro="/"menu=" read their
// list files from the scratch directory only. No macro is configured, so
// nothing reaches a shell.
#include "CUsrpPacket.h"
#include "CommandInterpreter.h"
#include "CommandTarget.h"
#include "FuzzSupport.h"
#include "MacroRunner.h"
#include "PeerSender.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"
#include "TlvProtocol.h"
#include "UsrpProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

using namespace halvane;

namespace {

// Builds what would be sent, so the builders see every length, and keeps
// nothing.
class Recorder : public PeerSender {
public:
    void sendPacketToUSRP(int type, const void* data, int len) override
    {
        if (len < 0)
            std::abort();
        CUsrpPacket::text(0, type, data, static_cast<std::size_t>(len));
    }
    void sendSingle(const char*, const int*, const void* data, int len) override
    {
        if (data == nullptr || len < 0)
            std::abort();
    }
};

class Bridge : public CommandTarget {
public:
    void setupVocoderFor(int) override {}
    void clearRxSlot() override {}
    void reopenTlvRx() override {}
    void reopenTlvTx() override {}
    void setUsrpAgc(const AgcSettings&) override {}
    void setClientCallRecord(const CallRecord&) override {}
    [[noreturn]] void exitApp(int, int) override { std::abort(); }
};


bool ends(const char* text)
{
    return std::string_view(text).starts_with("exit=");
}

void resetSettings()
{
    servers.setDefaults();
    // The info record's file is named after this port: one no daemon uses.
    servers.usrpRxPort = 1;
    servers.subscriberFile.set((fuzz::scratchDir() / "none.csv").string());
    servers.transferRootDir.set(fuzz::scratchDir().string());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    resetSettings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Recorder peers;
    static Bridge bridge;
    // The record is built for every "info" but its file under /tmp is never
    // written: a harness keeps to its scratch directory.
    static MacroRunner macros;
    static const bool noInfoFile = (macros.removeInfoFile(), true);
    (void)noInfoFile;
    static SubscriberDatabase subscribers([] { return std::uint32_t{0}; });
    static TlvQueue queue(16, "fuzz queue");
    if (size < 1)
        return 0;
    resetSettings();
    std::atomic_bool asl{(data[0] & 4) != 0};
    std::atomic_int usrpCodec{0};
    CommandInterpreter interpreter({servers, asl, usrpCodec, peers, macros, subscribers, queue, bridge});

    // Byte 0: the door (modulo 3), and ASL mode (bit 2).
    const std::uint8_t door = data[0] % 3;
    const std::string_view text = fuzz::textOf(data + 1, size - 1);
    if (door == 0) {
        // A command record, and whatever DTMF tunes it queues.
        TLV_CLASS record(TAG_REMOTE_CMD, text);
        if (ends(record.text()))
            return 0;
        interpreter.execute(record);
    } else {
        CUsrpPacket packet;
        const std::size_t payload = std::min(text.size(), packet.capacity() - USRP_HEADER_SIZE);
        std::memcpy(packet.data() + USRP_HEADER_SIZE, text.data(), payload);
        packet.setReceived(USRP_HEADER_SIZE + payload);
        if (door == 1)
            interpreter.handleUsrpText(packet);
        else
            interpreter.handleDtmf(packet);
    }
    while (std::optional<std::unique_ptr<TLV_CLASS>> queued = queue.tryPop())
        if (!ends((*queued)->text()))
            interpreter.execute(**queued);
    return 0;
}
