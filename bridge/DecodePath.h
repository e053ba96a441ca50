// The decode thread's handling of the partner's records: calls start and end
// on their slot, frames become USRP voice, identities are exported, tunes,
// commands and events are carried out.
//
// A call is a slot: `rxSlot` is 0 while none runs. TAG_BEGIN_TX claims the
// slot (a second one is ignored until the call ends), voice records of other
// slots are dropped, and TAG_END_TX of that slot ends it with an unkey. A call
// whose slot carries no voice for CALL_SILENCE_LIMIT ends the same way, so a
// lost TAG_END_TX cannot leave the client keyed and every later call
// ignored.
//
// A call record from the network never ends the process: one whose
// source equals its repeater (after a repeater of 0 took `repeaterID`) is
// logged and dropped, TAG_SET_INFO included, since applying it would make
// `repeaterID` equal `gatewayDmrId`.
//
// Decoded blocks go through the bridge's processAudio() and then, paced
// unless `usrpPacing` is off, to the client (UsrpPacer); unkeys queue behind
// the blocks before them.
//
// Ownership and lifetime: owned by the bridge for the whole process; its
// pacer's thread runs from start() on and uses the bridge's USRP send path.
// Thread-safety: start(), handle() and handleNext() run on the decode thread
// only. clearSlot() and rxSlot() may be called from any thread (commands run
// on both the encode and the decode thread); sendVoice() from any thread.
#pragma once

#include "TLV_CLASS.h"
#include "UsrpPacer.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace halvane {

class CDMR_DV3000_DMRLink;

class DecodePath {
public:
    // A partner sends voice every 20 ms (IMBE, D-STAR) or 60 ms (AMBE), and
    // its TAG_END_TX follows the last frame within one such interval. Nothing
    // for 1.5 s means the call is gone. The limit stays well above the
    // 500 ms this thread pauses after every call record and above network
    // hiccups, because ending a live call by mistake loses the rest of it:
    // its voice is then dropped as belonging to no call.
    static constexpr std::chrono::milliseconds CALL_SILENCE_LIMIT{1500};
    // The pause after every call record.
    static constexpr std::chrono::milliseconds CALL_RECORD_PAUSE{500};

    explicit DecodePath(CDMR_DV3000_DMRLink& bridge);
    DecodePath(const DecodePath&) = delete;
    DecodePath& operator=(const DecodePath&) = delete;

    // Thread start; `hardware` selects the DV3000 for decoding. Refreshes the
    // info record and starts the pacer (paced or not by `usrpPacing`).
    void start(bool hardware);

    // Takes the next record off `queue` (waiting no longer than the silence
    // watchdog allows), handles it, and ends a call that has gone silent.
    void handleNext(TlvQueue& queue);

    // One record taken off the queue.
    void handle(const TLV_CLASS& record);

    // Forgets the call in progress (a mode change); no unkey is sent.
    void clearSlot() { rxSlot_ = 0; }
    int rxSlot() const { return rxSlot_.load(); }

    // The USRP part of the bridge's audio sink: one decoded block (320
    // bytes), paced or straight to sendAudioToUSRP.
    void sendVoice(const void* pcm, int len) { pacer_.push(pcm, len); }

private:
    using Clock = std::chrono::steady_clock;

    void handleCallRecord(const TLV_CLASS& record);
    void handleEndTx(const TLV_CLASS& record);
    void handleAmbe(const TLV_CLASS& record);
    void handleImbe(const TLV_CLASS& record);
    void handleDstar(const TLV_CLASS& record);
    void handleTune(const TLV_CLASS& record);
    void handleEvent(const TLV_CLASS& record);
    // The file transfer sub-protocol; not part of this build yet.
    void tlvFileProtocolHandler(const TLV_CLASS& record);

    // Ends the call on `rxSlot`: "End TX" and the unkey.
    void endCall();
    void checkSilence(const TlvQueue& queue);
    void noteVoice() { lastVoice_ = Clock::now(); }

    // One 72-bit AMBE+2 frame, by the hardware, the emulator or software.
    // `frame49` is its 49-bit form as received, or null to convert it back
    // for the emulator.
    void decodeAmbe72(const std::uint8_t* frame72, const std::uint8_t* frame49);
    // The software decoders; each delivers one block through processAudio.
    void ambeDecode(const std::uint8_t* frame72);
    void ambeDecodeDstar(const std::uint8_t* frame);
    void swDecodeIMBE(const std::uint8_t* frame);
    void softwareSilence();

    CDMR_DV3000_DMRLink& bridge_;
    bool hardware_ = false;
    std::atomic_int rxSlot_{0};
    Clock::time_point lastVoice_{};      // decode thread only
    bool softwareMissingLogged_ = false; // decode thread only
    UsrpPacer pacer_;
};

} // namespace halvane
