// The encode thread's voice handling: the USRP client's 20 ms blocks become
// TAG_BEGIN_TX, vocoder records and TAG_END_TX for the partner, or, in ASL
// mode, USRP packets passed on to the partner's port without vocoding.
//
// A transmission starts with the first keyed block (key-up: the call record
// goes out) and ends with an unkey or after RECEIVE_TIMEOUT without any
// datagram. AMBE frames travel three to a record; the record being filled,
// and its position, carry over from one transmission to the next, so up to
// two frames of the previous transmission can open the next one's first
// record. A short DMR transmission is stretched to minTxTimeMS with silence
// records (the hang time). Voice that arrives meanwhile continues the same
// transmission; any other datagram (DTMF, a text, a command, a ping) is
// handed back to the loop to be carried out, and the hang time then goes on
// in awaitDatagram() and ends the transmission with TAG_END_TX on time.
//
// The send endpoint to the partner is made on the first keyed block, dropped
// after any checked send fails and made again by the next keyed block, and
// reopened when `tlvTxReopen` is set (the "txport=" command).
//
// Vocoding goes through the path's own EncoderChoice, which follows the
// wanted vocoder between blocks.
//
// Ownership and lifetime: owned by the bridge for the whole process; owns the
// send endpoint, the record buffers, the band-pass filter history, the
// client's ADPCM decoder state and its codec. The links it is given outlive
// it.
// Thread-safety: every operation runs on the encode thread only (that
// includes setClientCallRecord, which the USRP text handling calls). Shared
// with other threads, all atomic: the settings, the ASL and client flags and
// `tlvTxReopen`.
#pragma once

#include "BandPassFilter.h"
#include "CDV3000_UDP.h"
#include "CallRecord.h"
#include "CodecChoice.h"
#include "HealthRecord.h"
#include "ImaAdpcm.h"
#include "TlvProtocol.h"
#include "UsrpProtocol.h"
#include "VoiceFrames.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace halvane {

class CUsrpPacket;
struct dv3000_servers;

class EncodePath {
public:
    using Clock = std::chrono::steady_clock;

    // Time and the wait for the client's next datagram, in one seam so that
    // time-outs and hang times run without waiting. Durations come from
    // `now`; `wallMs` (milliseconds since the epoch) only feeds the key-up
    // time in the debug line. An empty member keeps the real clock; the
    // wait has no default.
    struct ClockSeam {
        std::function<Clock::time_point()> now;
        std::function<std::uint64_t()> wallMs;
        // Waits up to the limit for a USRP datagram without reading it.
        std::function<bool(std::chrono::milliseconds)> waitForUsrp;
    };

    // What the path works with besides its own state.
    struct Links {
        dv3000_servers& settings;
        // ASL mode (pass-through), rewritten at each key-up.
        std::atomic_bool& asl;
        // A USRP client is registered.
        const std::atomic_bool& clientRegistered;
        // Set by "txport=": the send endpoint is made anew.
        std::atomic_bool& tlvTxReopen;
        // The shaped PCM goes here too; null for none.
        CDV3000_UDP* pcmMirror;
        // Where the codec comes from.
        VocoderSources vocoder;
        ClockSeam clock;
        // What this direction counts for the operator.
        HealthRecord::Direction& health;
    };

    // No datagram for this long ends a transmission in progress.
    static constexpr std::chrono::milliseconds RECEIVE_TIMEOUT{20000};
    // Gap between silence records of the hang time: one record's speech.
    static constexpr std::chrono::milliseconds HANG_RECORD_INTERVAL{60};

    explicit EncodePath(Links links);
    EncodePath(const EncodePath&) = delete;
    EncodePath& operator=(const EncodePath&) = delete;

    // Thread start: mode flags, record buffers and the default call record.
    // Equal repeaterID and gatewayDmrId (the operator's configuration) end
    // the process with status 254.
    void start();

    // Waits up to RECEIVE_TIMEOUT for the client's next datagram; true when
    // one is there to read. A time-out ends a transmission in progress,
    // without hang time. A hang time that a datagram interrupted goes on
    // first, and ends the transmission when it runs out.
    bool awaitDatagram();

    // One datagram of a voice type (0, 5 or 6) with a good magic, as read.
    // Coded payloads are decoded in place to linear samples.
    void handleVoice(CUsrpPacket& packet);

    // A call record sent by the USRP client becomes the current one; it is
    // used from the next key-up until an unkey finds no client registered.
    void setClientCallRecord(const CallRecord& record);

    // A transmission is in progress (tests).
    bool transmitting() const { return ptt_; }

private:
    enum class Mode { Ambe49, Ambe72, Dstar, Imbe };

    static Mode modeFor(int ambeSize);

    // The DMR hang time in progress.
    struct HangTime {
        Clock::time_point deadline;
        Clock::time_point nextRecord;
    };

    void onReceiveTimeout();
    void unkey(const CUsrpPacket& packet);
    // Sends the silence records of the hang time until it runs out (true)
    // or a datagram arrives (false).
    bool runHangTime();
    // TAG_END_TX (or, in ASL mode, the unkey passed on) and PTT off.
    void endTransmission(const CUsrpPacket* unkeyPacket);
    // The transmission is over: counted and logged with its length.
    void endCall(const char* how);
    void countFramesOut(std::uint64_t frames);
    // Key-up; false when the call identity is refused and nothing starts.
    bool keyUp();
    bool identityRefused(const CallRecord& current);
    void rebuildDefaultRecord();
    void shape(PcmBlock& pcm);
    void vocode(CUsrpPacket& packet, const PcmBlock& pcm);
    void sendAmbeFrame(const Ambe72Frame& frame);
    void forwardAsl(CUsrpPacket& packet, const PcmBlock& pcm);
    void forwardAslUnkey(const std::uint8_t* header);

    void prepareSendEndpoint();
    // Sends to every partner port; false unless every port took all of it.
    bool sendToPartner(const std::uint8_t* data, std::size_t length);
    void sendEndTx(bool checked);
    std::uint8_t slotByte() const;
    bool tlvMuted() const;

    long msSinceKeyUp(Clock::time_point now) const;

    Links links_;
    dv3000_servers& settings_;
    EncoderChoice encoder_;

    bool ptt_ = false;
    std::optional<HangTime> hang_;
    std::optional<Clock::time_point> keyUpTime_;
    // Of the transmission in progress, for its closing log line.
    std::uint64_t callBlocks_ = 0;
    std::uint64_t callFrames_ = 0;
    std::uint64_t pttTime_ = 0; // wall-clock ms of the last key-up
    Mode mode_ = Mode::Ambe72;
    bool refusalLogged_ = false;

    std::unique_ptr<CDV3000_UDP> tlvSend_;
    int tlvPortCount_ = 1;

    std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_AMBE_72_LENGTH> record72_{};
    std::array<std::uint8_t, TLV_HEADER_SIZE + TLV_AMBE_49_LENGTH> record49_{};
    int frameIndex_ = 0;

    CallRecord defaultRecord_;
    CallRecord clientRecord_;
    bool currentIsClient_ = false;

    // The last header passed on in ASL mode, so a time-out can unkey the peer.
    std::array<std::uint8_t, USRP_HEADER_SIZE> aslHeader_{};
    bool haveAslHeader_ = false;

    // The client's ADPCM coder runs over every packet it sends; this follows it.
    ImaAdpcmState adpcmRx_{};
    BandPassFilter filter_;
};

} // namespace halvane
