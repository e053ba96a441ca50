#include "UsrpClient.h"

#include "CUsrpPacket.h"
#include "ReceiveMatching.h"
#include "TlvProtocol.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace halvane {

bool UsrpClient::open(const Config& config, std::string& error)
{
    if (!socket_.open(config.localHost, config.localPort, error))
        return false;
    if (!socket_.setPeer(config.remoteHost, config.remotePort, error)) {
        socket_.close();
        return false;
    }
    return true;
}

void UsrpClient::close()
{
    socket_.close();
}

bool UsrpClient::sendPacket(const CUsrpPacket& packet)
{
    ++seq_; // taken even when the send fails, as a node's counter is
    return packet.size() > 0 && socket_.send(std::span<const std::uint8_t>(packet.data(), packet.size()));
}

bool UsrpClient::sendTyped(int type, const void* data, std::size_t len)
{
    return sendPacket(CUsrpPacket::text(seq_, type, data, len));
}

bool UsrpClient::registerClient()
{
    return sendText(std::string(USRP_REG_PREFIX) + USRP_REG_CLIENT);
}

bool UsrpClient::unregisterClient()
{
    return sendText(USRP_REG_UNREG_TEXT);
}

bool UsrpClient::sendText(std::string_view text)
{
    const std::string terminated(text); // c_str() supplies the NUL that goes on the wire
    return sendTyped(USRP_TYPE_TEXT, terminated.c_str(), terminated.size() + 1);
}

bool UsrpClient::sendDtmf(std::string_view digits)
{
    const std::string terminated(digits);
    return sendTyped(USRP_TYPE_DTMF, terminated.c_str(), terminated.size() + 1);
}

bool UsrpClient::sendCallRecord(const CallRecord& call)
{
    const TLV_CLASS record = makeCallRecord(TAG_SET_INFO, call);
    return sendTyped(USRP_TYPE_TEXT, record.data(), record.size());
}

bool UsrpClient::sendTlv(const TLV_CLASS& record)
{
    return sendTyped(USRP_TYPE_TLV, record.data(), record.size());
}

bool UsrpClient::sendCommand(std::string_view command)
{
    return sendTlv(TLV_CLASS(TAG_REMOTE_CMD, command));
}

bool UsrpClient::sendPing()
{
    return sendPacket(CUsrpPacket::ping(seq_));
}

bool UsrpClient::sendVoice(std::span<const std::int16_t> block, UsrpCodec codec)
{
    std::array<std::int16_t, USRP_VOICE_SAMPLES> pcm{};
    std::copy_n(block.begin(), std::min(block.size(), pcm.size()), pcm.begin());
    CUsrpPacket packet = CUsrpPacket::voice(seq_, pcm.data(), USRP_VOICE_BYTES);
    packet.encodeVoice(static_cast<int>(codec), adpcmTx_);
    return sendPacket(packet);
}

bool UsrpClient::sendUnkey(UsrpCodec codec)
{
    CUsrpPacket packet = CUsrpPacket::voice(seq_, nullptr, 0);
    packet.encodeVoice(static_cast<int>(codec), adpcmTx_);
    return sendPacket(packet);
}

bool UsrpClient::sendTransmission(std::span<const std::int16_t> pcm, UsrpCodec codec, Pacing pacing,
                                  const std::atomic_bool* stop)
{
    constexpr std::chrono::milliseconds BLOCK_TIME(20);
    const std::size_t blocks = (pcm.size() + USRP_VOICE_SAMPLES - 1) / USRP_VOICE_SAMPLES;
    pacer_.start();
    std::size_t k = 0;
    for (; k < blocks && (stop == nullptr || !stop->load()); ++k) {
        if (pacing == Pacing::Network)
            pacer_.waitUntil(BLOCK_TIME * static_cast<int>(k));
        const std::size_t first = k * USRP_VOICE_SAMPLES;
        if (!sendVoice(pcm.subspan(first, std::min(USRP_VOICE_SAMPLES, pcm.size() - first)), codec))
            return false;
    }
    if (pacing == Pacing::Network)
        pacer_.waitUntil(BLOCK_TIME * static_cast<int>(k));
    return sendUnkey(codec);
}

bool UsrpClient::sendDatagram(std::span<const std::uint8_t> bytes)
{
    return socket_.send(bytes);
}

void UsrpClient::resetAdpcm()
{
    adpcmTx_ = ImaAdpcmState{};
    adpcmRx_ = ImaAdpcmState{};
}

std::optional<UsrpMessage> UsrpClient::receive(std::chrono::milliseconds timeout)
{
    std::optional<Datagram> datagram = socket_.receive(timeout);
    if (!datagram)
        return std::nullopt;
    UsrpMessage message = decodeUsrpDatagram(datagram->bytes, adpcmRx_);
    message.from = datagram->from;
    return message;
}

std::optional<UsrpMessage> UsrpClient::receiveMatching(const std::function<bool(const UsrpMessage&)>& match,
                                                       std::chrono::milliseconds timeout,
                                                       std::vector<UsrpMessage>* skipped)
{
    return receiveMatchingWithin<UsrpMessage>([this](std::chrono::milliseconds left) { return receive(left); }, match, timeout,
                                     skipped);
}

std::optional<UsrpMessage> UsrpClient::receiveText(std::string_view prefix, std::chrono::milliseconds timeout,
                                                   std::vector<UsrpMessage>* skipped)
{
    return receiveMatching(
        [prefix](const UsrpMessage& m) {
            return m.kind == UsrpMessage::Kind::Text && std::string_view(m.text).substr(0, prefix.size()) == prefix;
        },
        timeout, skipped);
}

UsrpTransmission UsrpClient::receiveTransmission(std::chrono::milliseconds timeout, std::vector<UsrpMessage>* skipped)
{
    UsrpTransmission transmission;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<UsrpMessage> message = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!message)
            return transmission;
        if (message->kind == UsrpMessage::Kind::Voice) {
            if (!transmission.codec)
                transmission.codec = message->codec;
            transmission.pcm.insert(transmission.pcm.end(), message->pcm.begin(), message->pcm.end());
            ++transmission.voicePackets;
        } else if (message->kind == UsrpMessage::Kind::Unkey && transmission.voicePackets > 0) {
            transmission.ended = true;
            transmission.unkey = std::move(message);
            return transmission;
        } else if (skipped != nullptr) {
            // Includes an unkey before any voice: the end of an earlier
            // transmission, not of this one.
            skipped->push_back(std::move(*message));
        }
    }
}

} // namespace halvane
