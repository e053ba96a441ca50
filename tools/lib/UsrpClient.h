// Plays an AllStarLink node towards Halvane's USRP port over UDP: registers,
// sends voice in any of the three codecs (paced at 20 ms per block like a
// node, or as fast as possible), unkeys, sends DTMF, texts, call records and
// TLV records, unregisters; and receives with a time-out whatever Halvane
// sends back, decoded (UsrpMessage). The end-to-end tests drive the daemon
// through it; the usrp-client program wraps it for operators.
//
// Every packet built here takes the client's own running sequence number,
// starting at 0, as a node's does. Both ADPCM states run on for the life of
// the client, as Halvane's do: a client that talks to a restarted Halvane
// calls resetAdpcm().
//
// Ownership: owns its socket. Not copyable.
// Thread-safety: one thread may send while another receives (the states of
// the two directions are separate); two senders or two receivers must not
// overlap, and open()/close() must not overlap anything.
#pragma once

#include "CallRecord.h"
#include "DatagramSocket.h"
#include "ImaAdpcm.h"
#include "Pacer.h"
#include "TLV_CLASS.h"
#include "UsrpMessage.h"

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

class CUsrpPacket;

// Keyed voice that arrived up to an unkey (or a time-out).
struct UsrpTransmission {
    std::vector<std::int16_t> pcm; // the keyed blocks, in arrival order
    int voicePackets = 0;
    std::optional<UsrpCodec> codec; // of the first voice packet
    bool ended = false;             // an unkey arrived
    std::optional<UsrpMessage> unkey;
};

class UsrpClient {
public:
    struct Config {
        std::string localHost = "127.0.0.1";
        int localPort = 0; // 0: any free port (Halvane's usrpTxPorts names the real one)
        std::string remoteHost = "127.0.0.1";
        int remotePort = 34001; // Halvane's usrpRxPort
    };

    UsrpClient() = default;
    UsrpClient(const UsrpClient&) = delete;
    UsrpClient& operator=(const UsrpClient&) = delete;

    // Binds the local port and sets the destination. False with `error` set
    // when either fails.
    bool open(const Config& config, std::string& error);
    void close();
    int localPort() const { return socket_.localPort(); }
    const sockaddr_in& remote() const { return socket_.peer(); }

    // Pacing of sendTransmission; tests hand in a fake clock.
    void setClockSeam(Pacer::ClockSeam seam) { pacer_.setClockSeam(std::move(seam)); }

    // --- Sending. Each returns false when the datagram was not sent whole.
    // "REG:QUILLNET" / "REG:UNREG" as type-2 texts.
    bool registerClient();
    bool unregisterClient();
    // A type-2 text, sent with its NUL in a packet of max(352, n + 33) bytes.
    bool sendText(std::string_view text);
    // Dialled digits: type 1, NUL-terminated, 352 bytes.
    bool sendDtmf(std::string_view digits);
    // The identity of the next transmission: a TAG_SET_INFO call record as
    // the payload of a type-2 packet.
    bool sendCallRecord(const CallRecord& call);
    // One TLV record as the payload of a 352-byte type-4 packet.
    bool sendTlv(const TLV_CLASS& record);
    // A command (TAG_REMOTE_CMD, no NUL) inside a type-4 packet, e.g. "codec=ulaw".
    bool sendCommand(std::string_view command);
    bool sendPing();
    // One keyed 20 ms block: up to 160 samples, the rest zero.
    bool sendVoice(std::span<const std::int16_t> block, UsrpCodec codec);
    // The unkey: the bare header in slin, encoded silence in mu-law and
    // ADPCM (advancing the ADPCM state, as Halvane expects).
    bool sendUnkey(UsrpCodec codec);
    // A whole transmission: `pcm` in keyed blocks (the last one padded with
    // zeros), then the unkey. Network pacing sends block k at k x 20 ms and
    // the unkey at n x 20 ms from the first block. Stops at the first failed
    // send. Once `stop` (when given) is set, no further block is sent but
    // the unkey still is, so the far end does not stay keyed.
    bool sendTransmission(std::span<const std::int16_t> pcm, UsrpCodec codec, Pacing pacing,
                          const std::atomic_bool* stop = nullptr);
    // Any bytes, as they are (no sequence number is taken): for malformed input.
    bool sendDatagram(std::span<const std::uint8_t> bytes);

    std::uint32_t nextSequence() const { return seq_; }
    void resetAdpcm();

    // --- Receiving.
    // The next datagram from anyone, decoded; nothing within `timeout`.
    std::optional<UsrpMessage> receive(std::chrono::milliseconds timeout);
    // The first message that `match` accepts within `timeout`. The others
    // are appended to `skipped` when given, else dropped (voice in them still
    // advances the ADPCM state).
    std::optional<UsrpMessage> receiveMatching(const std::function<bool(const UsrpMessage&)>& match,
                                               std::chrono::milliseconds timeout,
                                               std::vector<UsrpMessage>* skipped = nullptr);
    // The first text packet that starts with `prefix` ("REG:", "INFO:MSG:", ...).
    std::optional<UsrpMessage> receiveText(std::string_view prefix, std::chrono::milliseconds timeout,
                                           std::vector<UsrpMessage>* skipped = nullptr);
    // Voice from the next keyed packet up to its unkey, at most `timeout` in
    // all. Non-voice messages meanwhile go to `skipped` when given.
    UsrpTransmission receiveTransmission(std::chrono::milliseconds timeout,
                                         std::vector<UsrpMessage>* skipped = nullptr);

private:
    bool sendPacket(const CUsrpPacket& packet);
    bool sendTyped(int type, const void* data, std::size_t len);

    DatagramSocket socket_;
    Pacer pacer_;
    std::uint32_t seq_ = 0;
    ImaAdpcmState adpcmTx_{};
    ImaAdpcmState adpcmRx_{};
};

} // namespace halvane
