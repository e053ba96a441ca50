// The bridge: one object per process that joins the USRP client and the TLV
// partner. It is a DV3000 vocoder object (constructing it probes the chip)
// extended with what both audio paths share: the USRP and PCM endpoints, the
// AGC of the USRP direction, the emulator link, the subscriber database and
// the USRP sequence counter. It runs three loops:
//   - the encode thread reads the USRP endpoint (registration, pings, text,
//     DTMF, TLV-in-USRP, voice towards the partner);
//   - the TLV receive loop, on the thread that calls ambeFromUDPTLV(), reads
//     the partner's datagrams onto the queue `q` (or relays USRP traffic in
//     ASL mode);
//   - the decode thread takes records off `q` and acts on them.
// A ping thread runs while a USRP client is registered.
//
// Lifetime: created once by the program entry and never destroyed; the
// process ends through exitApp() or a fatal check.
// Thread-safety: the object has no lock of its own. The endpoints serialise
// their own writes, the DV3000 exchange has its mutex, counters and flags
// are atomic, the ADPCM encoder state has its own mutex, and the settings
// record is safe to read anywhere.
#pragma once

#include "CAgc.h"
#include "CDMR_DV3000.h"
#include "CDV3000_UDP.h"
#include "CUsrpPacket.h"
#include "CommandInterpreter.h"
#include "DecodePath.h"
#include "EmulatorLink.h"
#include "EncodePath.h"
#include "FileTransfer.h"
#include "ImaAdpcm.h"
#include "MacroRunner.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

namespace halvane {

class CDMR_DV3000_DMRLink : public CDMR_DV3000 {
public:
    // Probes the DV3000, configures the AGC, loads the subscriber file,
    // reaches or starts the emulator, and becomes `gHalvane`. The flag is
    // not used.
    explicit CDMR_DV3000_DMRLink(bool unused);
    // The same with the DV3000 pauses and time-outs of `timing` (tests).
    CDMR_DV3000_DMRLink(bool unused, const DV3000Timing& timing);

    // Opens the USRP endpoint (with the loop guard) and the PCM mirror, and
    // starts the encode thread. Returns 0, or 1 when the thread could not be
    // started.
    int beginEncodeLoop();

    // Opens the TLV listener, starts the decode thread and runs the TLV
    // receive loop; returns only when the listener or the thread cannot be
    // set up.
    void ambeFromUDPTLV(const char* address, int port, bool hardware);

    // Reconfigures the DV3000 for a new frame size after a mode change.
    int setupVocoder(bool hardware, int ambeSize);

    // Sink of every decoded block: the local sound card when monitoring, then
    // the USRP client unless the microphone loop is in use or the USRP side
    // is muted.
    void processAudio(void* pcm, int len) override;

    // Orderly exit: tells the USRP client "REG:EXITING <status> <code>",
    // frees the subscriber tables and ends the process with `status`.
    [[noreturn]] void exitApp(int status, int code);

    // USRP send operations; any thread.
    // A packet of `type` carrying `len` bytes, at least 352 bytes long.
    void sendPacketToUSRP(int type, const void* data, int len);
    void sendMetadataToUSRP(const void* data, int len);
    // One datagram to `address` on `ports` through a temporary endpoint;
    // nothing in ASL mode.
    void sendSingle(const char* address, const int* ports, const void* data, int len);
    // One voice packet (len 320) or unkey (len 0) in the client's codec,
    // shaped by usrpAudio; nothing while the USRP side is muted.
    void sendAudioToUSRP(void* pcm, int len);
    // The fixed call-information record of ASL mode.
    void sendASLMetadata();

    // Whether the USRP client endpoint exists (tests, exit).
    bool usrpOpen() const { return usrpSocket && usrpSocket->isOpen(); }

    // Encode thread only: waits up to `limit` for a USRP datagram without
    // reading it (the hang time ends early when the client speaks again).
    bool waitForUsrp(std::chrono::milliseconds limit);

    // The PCM mirror endpoint, or null when pcmPort is 0.
    CDV3000_UDP* pcmMirror() const { return pcmSocket.get(); }

    SubscriberDatabase subscribers;
    CAgc agc;
    std::unique_ptr<EmulatorLink> emulator;
    std::atomic<std::uint32_t> usrpSequence{0};
    std::atomic_int currentSlot{0};
    std::atomic_bool tlvTxReopen{false};
    std::atomic_bool tlvRxReopen{false};

    // The parts that give the threads their work; each documents its thread.
    MacroRunner macros;
    CommandInterpreter commands{*this};
    EncodePath encodePath{*this};
    DecodePath decodePath{*this};
    // File transfer records go to the USRP client wrapped in TLV packets.
    FileTransfer fileTransfer{[this](const std::uint8_t* record, std::size_t size) {
        sendPacketToUSRP(USRP_TYPE_TLV, record, static_cast<int>(size));
    }};

private:
    void setUp();
    std::uint32_t nextSequence() { return usrpSequence.fetch_add(1); }
    void sendUsrp(const CUsrpPacket& packet, std::size_t size);

    // Encode thread.
    void getAudioFromUSRP();
    void handleUsrpDatagram(CUsrpPacket& packet);
    void handleRegistration(const CUsrpPacket& packet);
    void startNATTimeoutTimer();

    // Decode thread and TLV receive loop.
    void ambeFromUDPTLVThread(bool hardware);
    void relayAslPacket(const std::uint8_t* datagram, int length);

    std::unique_ptr<CDV3000_UDP> usrpSocket;
    std::unique_ptr<CDV3000_UDP> pcmSocket;
    std::atomic_bool pingRunning{false};
    std::mutex adpcmTxMutex; // guards adpcmTx: voice is sent from several threads
    bool aslKeyed = false;   // TLV receive loop only: last relayed voice was keyed
};

// Process-wide state of the bridge.
extern std::atomic<CDMR_DV3000_DMRLink*> gHalvane;
extern std::atomic_bool isASL;
extern std::atomic_int usrpCodec;
extern std::atomic_bool natTimerNotDone;
extern ImaAdpcmState adpcmTx; // guarded by the bridge's adpcmTxMutex
extern ImaAdpcmState adpcmRx; // encode thread only
extern TlvQueue q;

} // namespace halvane
