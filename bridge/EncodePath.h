// The encode thread's voice handling: the USRP client's 20 ms blocks become
// TAG_BEGIN_TX, vocoder records and TAG_END_TX for the partner, or, in ASL
// mode, USRP packets passed on to the partner's port without vocoding.
//
// A transmission starts with the first keyed block (key-up: the call record
// goes out) and ends with an unkey or after 20 s without any datagram. AMBE
// frames travel three to a record; the record being filled, and its position,
// carry over from one transmission to the next, so up to two frames of the
// previous transmission can open the next one's first record. A short DMR
// transmission is stretched to minTxTimeMS with silence records; voice that
// arrives meanwhile continues the same transmission.
//
// The send endpoint to the partner is made on the first keyed block, dropped
// after any checked send fails and made again by the next keyed block, and
// reopened on the bridge's tlvTxReopen flag (the "txport=" command).
//
// Ownership and lifetime: owned by the bridge for the whole process; owns the
// send endpoint, the record buffers and the band-pass filter history.
// Thread-safety: every operation runs on the encode thread only (that
// includes setClientCallRecord, which the USRP text handling calls). Shared
// with other threads, all atomic: the settings record, `isASL`,
// `natTimerNotDone` and the bridge's tlvTxReopen flag. `adpcmRx` is this
// thread's alone.
#pragma once

#include "BandPassFilter.h"
#include "CDV3000_UDP.h"
#include "CallRecord.h"
#include "TlvProtocol.h"
#include "UsrpProtocol.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace halvane {

class CDMR_DV3000_DMRLink;
class CUsrpPacket;

class EncodePath {
public:
    using Clock = std::chrono::steady_clock;

    // Time and the wait for the client's next datagram, in one seam so that
    // hang times can be run without waiting. Durations come from `now`;
    // `wallMs` (milliseconds since the epoch) only feeds the key-up time in
    // the debug line. An empty member keeps the real one.
    struct ClockSeam {
        std::function<Clock::time_point()> now;
        std::function<std::uint64_t()> wallMs;
        // Waits up to the limit for a USRP datagram without reading it.
        std::function<bool(std::chrono::milliseconds)> waitForUsrp;
    };

    // What a DMR receiver plays as silence; fills the hang time, and stands
    // in for every AMBE frame until the software encoder exists.
    static constexpr std::array<std::uint8_t, AMBE_72_FRAME_BYTES> DMR_SILENCE_FRAME{0xAC, 0xAA, 0x40, 0x20, 0x00,
                                                                                    0x44, 0x40, 0x80, 0x80};
    // Gap between silence records of the hang time: one record's speech.
    static constexpr std::chrono::milliseconds HANG_RECORD_INTERVAL{60};

    static constexpr int IMBE_CODE_WORDS = 8;
    using ImbeCodeWords = std::array<std::uint16_t, IMBE_CODE_WORDS>;

    explicit EncodePath(CDMR_DV3000_DMRLink& bridge);
    EncodePath(const EncodePath&) = delete;
    EncodePath& operator=(const EncodePath&) = delete;

    // Before start(); tests only.
    void setClockSeam(ClockSeam seam);

    // Thread start: mode flags, record buffers and the default call record.
    // Equal repeaterID and gatewayDmrId (the operator's configuration) end
    // the process with status 254.
    void start();

    // No USRP datagram arrived for 20 seconds: a transmission in progress
    // ends, without hang time.
    void onReceiveTimeout();

    // One datagram of a voice type (0, 5 or 6) with a good magic, as read.
    // Coded payloads are decoded in place to linear samples.
    void handleVoice(CUsrpPacket& packet);

    // A call record sent by the USRP client becomes the current one; it is
    // used from the next key-up until an unkey finds no client registered.
    void setClientCallRecord(const CallRecord& record);

    // A transmission is in progress (tests).
    bool transmitting() const { return ptt_; }

    // The eight IMBE code words, most significant bit first, at widths 12,
    // 12, 12, 12, 11, 11, 11 and 7 bits: the 11 bytes of a TAG_IMBE frame.
    // Bits above a word's width are ignored.
    static std::array<std::uint8_t, IMBE_FRAME_BYTES> packImbe(const ImbeCodeWords& words);

private:
    enum class Mode { Ambe49, Ambe72, Dstar, Imbe };
    using Frame72 = std::array<std::uint8_t, AMBE_72_FRAME_BYTES>;
    using Block = std::array<short, USRP_VOICE_SAMPLES>;

    static Mode modeFor(int ambeSize);

    void unkey(const CUsrpPacket& packet);
    // Runs the DMR hang time when due; false when the client spoke again
    // meanwhile, so the transmission goes on.
    bool holdShortTransmission(Clock::time_point now, long elapsed);
    // Key-up; false when the call identity is refused and nothing starts.
    bool keyUp();
    bool identityRefused(const CallRecord& current);
    void rebuildDefaultRecord();
    void shape(Block& pcm);
    void vocode(CUsrpPacket& packet, const Block& pcm);
    void sendAmbeFrame(const Frame72& frame);
    bool encodeOnChip(const Block& pcm, std::uint8_t* frame);
    void forwardAsl(CUsrpPacket& packet, const Block& pcm);
    void forwardAslUnkey(const std::uint8_t* header);

    // The software vocoder's entry points, one per frame kind.
    void softwareEncodeAmbe(const Block& pcm, Frame72& frame);
    void softwareEncodeDstar(const Block& pcm, Frame72& frame);
    void softwareEncodeImbe(const Block& pcm, ImbeCodeWords& words);
    void noteSoftwareEncoderMissing();

    void prepareSendEndpoint();
    // Sends to every partner port; false unless every port took all of it.
    bool sendToPartner(const std::uint8_t* data, std::size_t length);
    void sendEndTx(bool checked);
    void dropSendEndpoint();

    long msSinceKeyUp(Clock::time_point now) const;

    CDMR_DV3000_DMRLink& bridge_;
    ClockSeam clock_;

    bool ptt_ = false;
    std::optional<Clock::time_point> keyUpTime_;
    std::uint64_t pttTime_ = 0; // wall-clock ms of the last key-up
    Mode mode_ = Mode::Ambe72;
    bool refusalLogged_ = false;
    bool softwareMissingLogged_ = false;

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

    BandPassFilter filter_;
};

} // namespace halvane
