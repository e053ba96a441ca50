// The decode thread's handling of the partner's records: calls start and end
// on their slot, frames become USRP voice, identities are exported, tunes,
// commands, events and file transfer records are carried out.
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
// Every frame is decoded by the path's own DecoderChoice, which follows the
// wanted vocoder between frames, into a block that processAudio() hands
// once to the local sound card (when monitoring) and, unless the USRP side
// is muted or the microphone loop owns it, to the pacer. Unkeys queue
// behind the blocks before them.
//
// Ownership and lifetime: owned by the bridge for the whole process; owns its
// codec and the call state. The links it is given outlive it; start()
// starts the pacer's thread.
// Thread-safety: start(), handle() and handleNext() run on the decode thread
// only, and so does the call state with its clock readings. clearSlot() and
// rxSlot() may be called from any thread.
#pragma once

#include "CodecChoice.h"
#include "HealthRecord.h"
#include "TLV_CLASS.h"
#include "VoiceFrames.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace halvane {

class MacroRunner;
class PeerSender;
class SubscriberDatabase;
class UsrpPacer;
struct dv3000_servers;

class DecodePath {
public:
    using Clock = std::chrono::steady_clock;
    using RecordHandler = std::function<void(const TLV_CLASS& record)>;

    // Time, in one seam so that the pauses and the silence watchdog run
    // without waiting. An empty member keeps the real one.
    struct ClockSeam {
        std::function<Clock::time_point()> now;
        std::function<void(Clock::duration)> sleep;
    };

    // What the path works with besides its own state.
    struct Links {
        dv3000_servers& settings;
        // ASL mode: a tune is not forwarded.
        const std::atomic_bool& asl;
        // A USRP client is registered: exported call texts carry the name.
        const std::atomic_bool& clientRegistered;
        // Where the codec comes from.
        VocoderSources vocoder;
        // Decoded blocks and unkeys, on their way to the client.
        UsrpPacer& pacer;
        // Metadata to the client, tunes to the partner.
        PeerSender& peers;
        SubscriberDatabase& subscribers;
        // Events run their macros; the info record is refreshed at start.
        MacroRunner& macros;
        RecordHandler command;      // TAG_REMOTE_CMD
        RecordHandler fileTransfer; // TAG_FILE_XFER
        ClockSeam clock;
        // What this direction counts for the operator.
        HealthRecord::Direction& health;
    };

    // A partner sends voice every 20 ms (IMBE, D-STAR) or 60 ms (AMBE), and
    // its TAG_END_TX follows the last frame within one such interval. Nothing
    // for 1.5 s means the call is gone. The limit stays well above the
    // 500 ms this thread pauses after every call record and above network
    // hiccups, because ending a live call by mistake loses the rest of it:
    // its voice is then dropped as belonging to no call.
    static constexpr std::chrono::milliseconds CALL_SILENCE_LIMIT{1500};
    // The pause after every call record.
    static constexpr std::chrono::milliseconds CALL_RECORD_PAUSE{500};
    // Longest wait for a record while no call runs, so that the thread comes
    // round (and can show it is alive) at least this often.
    static constexpr std::chrono::milliseconds IDLE_WAIT{1000};

    explicit DecodePath(Links links);
    DecodePath(const DecodePath&) = delete;
    DecodePath& operator=(const DecodePath&) = delete;

    // Thread start: refreshes the info record and starts the pacer (paced
    // or not by `usrpPacing`).
    void start();

    // Takes the next record off `queue` (waiting no longer than the silence
    // watchdog allows, and at most IDLE_WAIT), handles it, and ends a call
    // that has gone silent.
    void handleNext(TlvQueue& queue);

    // One record taken off the queue.
    void handle(const TLV_CLASS& record);

    // Forgets the call in progress (a mode change); no unkey is sent.
    void clearSlot();
    int rxSlot() const { return rxSlot_.load(); }

    // The sink of every decoded block: the local sound card when
    // monitoring, then the client (through the pacer) unless the USRP side
    // is muted or the microphone loop is in use.
    void processAudio(const PcmBlock& pcm);

private:
    void handleCallRecord(const TLV_CLASS& record);
    void handleEndTx(const TLV_CLASS& record);
    void handleAmbe(const TLV_CLASS& record);
    void handleImbe(const TLV_CLASS& record);
    void handleDstar(const TLV_CLASS& record);
    // One frame through the chosen decoder to processAudio(). The names are
    // the software vocoder's, whose entry points they were; the decoder may
    // be the chip or the emulator just as well.
    void swDecode49BitAMBE(const Ambe49Frame& frame);
    void swDecode72BitAMBE(const Ambe72Frame& frame);
    void swDecodeIMBE(const ImbeFrame& frame);
    void handleTune(const TLV_CLASS& record);
    void handleEvent(const TLV_CLASS& record);

    // Ends the call on `rxSlot`: "End TX" and the unkey.
    void endCall();
    void checkSilence(const TlvQueue& queue);
    void noteVoice() { lastVoice_ = links_.clock.now(); }
    bool usrpMuted() const;

    Links links_;
    dv3000_servers& settings_;
    DecoderChoice decoder_;
    std::atomic_int rxSlot_{0};
    Clock::time_point lastVoice_{};
    // Decoder failures already counted in the health record.
    std::uint64_t failuresCounted_ = 0;
    // Of the call in progress, for its closing log line.
    Clock::time_point callStart_{};
    std::uint64_t callFrames_ = 0;
    std::uint64_t callBlocks_ = 0;
};

} // namespace halvane
