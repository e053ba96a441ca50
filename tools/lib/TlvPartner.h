// Plays the digital-voice partner towards Halvane's TLV port over UDP: binds
// the port Halvane sends its records to, receives and decodes them
// (TlvMessage), collects whole calls, and sends records of its own: call
// records, call ends, commands, events, tunes, any raw record, and saved
// calls replayed on the network's time line. The end-to-end tests drive the
// daemon through it; the tlv-partner program wraps it for operators.
//
// Replay pacing: a voice record goes out when the speech of all voice
// records before it has played, 20 ms per frame (so a three-frame AMBE record
// every 60 ms, an IMBE or D-STAR frame every 20 ms); any other record goes
// out at once after the one before it (TAG_END_TX therefore follows the
// last frame by that frame's own time).
//
// Ownership: owns its socket. Not copyable.
// Thread-safety: one thread may send while another receives; two senders or
// two receivers must not overlap, and open()/close() must not overlap
// anything.
#pragma once

#include "CallRecord.h"
#include "DatagramSocket.h"
#include "Pacer.h"
#include "SavedCall.h"
#include "TLV_CLASS.h"
#include "TlvMessage.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvane {

class TlvPartner {
public:
    struct Config {
        std::string localHost = "127.0.0.1";
        int localPort = 0; // 0: any free port (Halvane's tlvTxPorts names the real one)
        std::string remoteHost = "127.0.0.1";
        int remotePort = 31000; // Halvane's tlvRxPort
    };

    TlvPartner() = default;
    TlvPartner(const TlvPartner&) = delete;
    TlvPartner& operator=(const TlvPartner&) = delete;

    // Binds the local port and sets the destination. False with `error` set
    // when either fails.
    bool open(const Config& config, std::string& error);
    void close();
    int localPort() const { return socket_.localPort(); }
    const sockaddr_in& remote() const { return socket_.peer(); }

    // Pacing of replay; tests hand in a fake clock.
    void setClockSeam(Pacer::ClockSeam seam) { pacer_.setClockSeam(std::move(seam)); }

    // --- Sending: one record per datagram. Each returns false when the
    // datagram was not sent whole. Texts go without a NUL (length = text
    // length); a value longer than 255 bytes is cut by TLV_CLASS.
    bool sendRecord(const TLV_CLASS& record);
    bool sendBegin(const CallRecord& call);   // TAG_BEGIN_TX
    bool sendSetInfo(const CallRecord& call); // TAG_SET_INFO
    bool sendEnd(std::uint8_t slot);          // TAG_END_TX
    bool sendCommand(std::string_view command); // TAG_REMOTE_CMD, e.g. "txTg=91"
    bool sendEvent(std::string_view text);      // TAG_EVENT
    bool sendTune(std::string_view talkGroup);  // TAG_TG_TUNE, e.g. "3100"
    // A record of `tag` with `value` as it is.
    bool sendValue(std::uint8_t tag, std::span<const std::uint8_t> value);
    // Any bytes, as they are: for malformed input.
    bool sendDatagram(std::span<const std::uint8_t> bytes);
    // Every record of `call` in order, paced as described above. Stops at
    // the first failed send. Once `stop` (when given) is set, the remaining
    // voice records are dropped but the other records (the TAG_END_TX) still
    // go, at once, so the far end does not stay in the call.
    bool replay(const SavedCall& call, Pacing pacing, const std::atomic_bool* stop = nullptr);

    // --- Receiving.
    // The next datagram from anyone, decoded; nothing within `timeout`.
    std::optional<TlvMessage> receive(std::chrono::milliseconds timeout);
    // The first message that `match` accepts within `timeout`; the others are
    // appended to `skipped` when given, else dropped.
    std::optional<TlvMessage> receiveMatching(const std::function<bool(const TlvMessage&)>& match,
                                              std::chrono::milliseconds timeout,
                                              std::vector<TlvMessage>* skipped = nullptr);
    // The first record of `tag`.
    std::optional<TlvMessage> receiveTag(std::uint8_t tag, std::chrono::milliseconds timeout,
                                         std::vector<TlvMessage>* skipped = nullptr);
    // The next call (CallCollector rules), at most `timeout` in all: ended()
    // tells whether its TAG_END_TX arrived; empty when no TAG_BEGIN_TX did.
    // Messages that are not part of the call go to `skipped` when given.
    SavedCall receiveCall(std::chrono::milliseconds timeout, std::vector<TlvMessage>* skipped = nullptr);

private:
    DatagramSocket socket_;
    Pacer pacer_;
};

} // namespace halvane
