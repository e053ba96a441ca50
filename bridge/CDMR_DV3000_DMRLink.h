// The bridge: one object per process that joins the USRP client and the TLV
// partner. It is a DV3000 vocoder object (constructing it probes the chip)
// extended with what both audio paths share: the USRP and PCM endpoints, the
// AGC of the USRP direction, the emulator link, the subscriber database, the
// USRP sequence counter and the vocoder each direction should use. It runs
// three loops:
//   - the encode thread reads the USRP endpoint (registration, pings, text,
//     DTMF, TLV-in-USRP, voice towards the partner through EncodePath);
//   - the TLV receive loop, on the thread that calls ambeFromUDPTLV(), reads
//     the partner's datagrams onto the queue `q` (or relays USRP traffic in
//     ASL mode);
//   - the decode thread takes records off `q` and hands them to DecodePath.
// A ping thread runs while a USRP client is registered, and the pacer's
// thread sends decoded voice to the client. The DV3000's recovery thread
// looks for a chip that was lost or never found, and both directions vocode
// without it meanwhile. Datagrams from senders other than the configured
// peers are dropped by the two listeners' guards.
//
// The parts get what they use: each path its settings, flags, codec sources
// and endpoints; both paths and the command interpreter send through the
// bridge as PeerSender, and the interpreter changes it as CommandTarget.
//
// Lifetime: created once by the program entry and never destroyed; the
// process ends through exitApp() or a fatal check.
// Thread-safety: the object has no lock of its own. The endpoints serialise
// their own writes, the DV3000 exchange has its mutex, counters, flags and
// the wanted vocoders are atomic, the ADPCM encoder state has its own mutex,
// and the settings record is safe to read anywhere. `encodePath` is made by
// beginEncodeLoop() and then used by the encode thread only.
#pragma once

#include "CAgc.h"
#include "CDMR_DV3000.h"
#include "CDV3000_UDP.h"
#include "CUsrpPacket.h"
#include "CommandInterpreter.h"
#include "CommandTarget.h"
#include "DecodePath.h"
#include "Dv3000Recovery.h"
#include "EmulatorLink.h"
#include "EncodePath.h"
#include "FileTransfer.h"
#include "HealthRecord.h"
#include "Heartbeat.h"
#include "ImaAdpcm.h"
#include "MacroRunner.h"
#include "PeerSender.h"
#include "SourceGuard.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"
#include "UsrpPacer.h"
#include "WantedVocoder.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace halvane {

class CDMR_DV3000_DMRLink;

// Process-wide state of the bridge.
extern std::atomic<CDMR_DV3000_DMRLink*> gHalvane;
extern std::atomic_bool isASL;
extern std::atomic_int usrpCodec;
extern std::atomic_bool natTimerNotDone;
extern TlvQueue q;

class CDMR_DV3000_DMRLink : public CDMR_DV3000, public PeerSender, public CommandTarget {
public:
    // Probes the DV3000, configures the AGC, loads the subscriber file,
    // reaches or starts the emulator, chooses the vocoders and becomes
    // `gHalvane`. The flag is not used.
    explicit CDMR_DV3000_DMRLink(bool unused);
    // The same with the DV3000 pauses and time-outs of `timing` (tests).
    CDMR_DV3000_DMRLink(bool unused, const DV3000Timing& timing);

    // Exit status when a listener cannot be bound at start-up (its port is
    // taken, or not this user's to take).
    static constexpr int EXIT_CANNOT_LISTEN = 251;

    // Starts the DV3000's recovery (the search for a chip not found at
    // start-up begins here), opens the USRP endpoint (with the loop guard and
    // the source guard) and the PCM mirror, and starts the encode thread.
    // Returns 0, or 1 when the thread could not be started. A USRP port that cannot be bound ends the process with
    // EXIT_CANNOT_LISTEN.
    int beginEncodeLoop();

    // Opens the TLV listener, starts the decode thread, calls `listening`
    // and runs the TLV receive loop; returns only when the listener's socket
    // or the thread cannot be set up. A TLV port that cannot be bound ends the
    // process with EXIT_CANNOT_LISTEN. The listener takes datagrams from the
    // host `address` only (tlvGuard). `hardware` (whether the chip answered
    // at start-up) is not needed: both directions follow the chip as it is
    // lost and found.
    void ambeFromUDPTLV(const char* address, int port, bool hardware);

    // Called once from ambeFromUDPTLV, on its thread, when both listeners are
    // bound and all three loops run: the daemon serves from then on.
    std::function<void()> listening;
    // Each loop beats here every time it comes round (at least once a
    // second while it waits), so a watchdog can tell a quiet loop from a
    // stuck one.
    Heartbeat encodeLoopBeat{"encode thread"};
    Heartbeat decodeLoopBeat{"decode thread"};
    Heartbeat tlvLoopBeat{"TLV receive loop"};

    // Reconfigures the DV3000 for a new frame size after a mode change; a
    // chip that does not come back is lost and searched for like one that
    // stopped answering.
    int setupVocoder(bool hardware, int ambeSize);

    // The bridge's audio sink in the vocoder chain: a block the chip decoded
    // goes where the decode path sends every decoded block.
    void processAudio(void* pcm, int len) override;

    // Orderly exit: tells the USRP client "REG:EXITING <status> <code>",
    // frees the subscriber tables and ends the process with `status`.
    [[noreturn]] void exitApp(int status, int code) override;

    // PeerSender, from any thread.
    void sendPacketToUSRP(int type, const void* data, int len) override;
    void sendSingle(const char* address, const int* ports, const void* data, int len) override;

    // One voice packet (len 320) or unkey (len 0) in the client's codec,
    // shaped by usrpAudio. Callers check that the USRP side is not muted.
    void sendAudioToUSRP(void* pcm, int len);
    // The fixed call-information record of ASL mode.
    void sendASLMetadata();

    // Whether the USRP client endpoint exists (tests, exit).
    bool usrpOpen() const { return usrpSocket && usrpSocket->isOpen(); }

    SubscriberDatabase subscribers;
    CAgc agc;
    std::unique_ptr<EmulatorLink> emulator;
    std::atomic<std::uint32_t> usrpSequence{0};
    std::atomic_bool tlvTxReopen{false};
    std::atomic_bool tlvRxReopen{false};
    // What each direction vocodes with; the paths follow between blocks.
    // The DV3000 while it answers; meanwhile what the process has without it.
    WantedVocoder encodeVocoder;
    WantedVocoder decodeVocoder;
    // Datagrams from senders that are not the configured peers are dropped
    // here: the USRP guard on the encode thread, the TLV guard in the TLV
    // receive loop; their counts may be read anywhere.
    SourceGuard usrpGuard{"USRP", health.usrpToTlv.droppedUnknownSource};
    SourceGuard tlvGuard{"TLV", health.tlvToUsrp.droppedUnknownSource};

    MacroRunner macros;
    // File transfer records go to the USRP client wrapped in TLV packets,
    // from the decode thread and from the download's own thread.
    FileTransfer fileTransfer{[this](const std::uint8_t* record, std::size_t size) {
        sendPacketToUSRP(USRP_TYPE_TLV, record, static_cast<int>(size));
    }};
    // Decoded voice leaves for the client from here, on the pacer's thread.
    UsrpPacer pacer{[this](std::int16_t* pcm, int len) { sendAudioToUSRP(pcm, len); },
                    UsrpPacer::Params{.target = std::chrono::milliseconds(servers.usrpPacingTargetMS.load()),
                                      .health = &health.tlvToUsrp}};
    CommandInterpreter commands{{servers, isASL, usrpCodec, *this, macros, subscribers, q, *this}};
    std::unique_ptr<DecodePath> decodePath;
    std::unique_ptr<EncodePath> encodePath;
    // Declared after what its hooks touch, so that it stops first.
    std::unique_ptr<Dv3000Recovery> dv3000Recovery;

private:
    // CommandTarget.
    void setupVocoderFor(int ambeSize) override;
    void clearRxSlot() override;
    void reopenTlvRx() override;
    void reopenTlvTx() override;
    void setUsrpAgc(const AgcSettings& settings) override;
    void setClientCallRecord(const CallRecord& record) override;

    void setUp();
    // The vocoder a direction should use when it may use the chip or not.
    Vocoder vocoderFor(bool hardware) const;
    // Points one direction at `vocoder` and names it in the health record.
    static void useVocoder(WantedVocoder& wanted, HealthRecord::Direction& direction, Vocoder vocoder);
    // Bind flags of a listener whose peer `guard` accepts.
    static int listenFlags(const SourceGuard& guard);
    std::uint32_t nextSequence() { return usrpSequence.fetch_add(1); }
    void sendUsrp(const CUsrpPacket& packet, std::size_t size);

    // Encode thread.
    void getAudioFromUSRP();
    void handleUsrpDatagram(CUsrpPacket& packet);
    void handleRegistration(const CUsrpPacket& packet);
    void startNATTimeoutTimer();

    // Decode thread and TLV receive loop.
    void ambeFromUDPTLVThread();
    void relayAslPacket(const std::uint8_t* datagram, int length);
    // Whether the TLV listener takes a datagram of `n` bytes from `from`.
    bool fromPartner(const std::uint8_t* datagram, int n, const sockaddr_in& from);

    std::unique_ptr<CDV3000_UDP> usrpSocket;
    std::unique_ptr<CDV3000_UDP> pcmSocket;
    std::atomic_bool pingRunning{false};
    std::mutex adpcmTxMutex; // guards adpcmTx: voice is sent from several threads
    ImaAdpcmState adpcmTx{};
    bool aslKeyed = false; // TLV receive loop only: last relayed voice was keyed
};

} // namespace halvane
