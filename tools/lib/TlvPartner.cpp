#include "TlvPartner.h"

#include "CallCollector.h"
#include "ReceiveMatching.h"
#include "TlvProtocol.h"

#include <algorithm>

namespace halvane {

bool TlvPartner::open(const Config& config, std::string& error)
{
    if (!socket_.open(config.localHost, config.localPort, error))
        return false;
    if (!socket_.setPeer(config.remoteHost, config.remotePort, error)) {
        socket_.close();
        return false;
    }
    return true;
}

void TlvPartner::close()
{
    socket_.close();
}

bool TlvPartner::sendRecord(const TLV_CLASS& record)
{
    return socket_.send(std::span<const std::uint8_t>(record.data(), record.size()));
}

bool TlvPartner::sendBegin(const CallRecord& call)
{
    return sendRecord(makeCallRecord(TAG_BEGIN_TX, call));
}

bool TlvPartner::sendSetInfo(const CallRecord& call)
{
    return sendRecord(makeCallRecord(TAG_SET_INFO, call));
}

bool TlvPartner::sendEnd(std::uint8_t slot)
{
    const std::uint8_t value[] = {slot};
    return sendValue(TAG_END_TX, value);
}

bool TlvPartner::sendCommand(std::string_view command)
{
    return sendRecord(TLV_CLASS(TAG_REMOTE_CMD, command));
}

bool TlvPartner::sendEvent(std::string_view text)
{
    return sendRecord(TLV_CLASS(TAG_EVENT, text));
}

bool TlvPartner::sendTune(std::string_view talkGroup)
{
    return sendRecord(TLV_CLASS(TAG_TG_TUNE, talkGroup));
}

bool TlvPartner::sendValue(std::uint8_t tag, std::span<const std::uint8_t> value)
{
    return sendRecord(TLV_CLASS(tag, value));
}

bool TlvPartner::sendDatagram(std::span<const std::uint8_t> bytes)
{
    return socket_.send(bytes);
}

bool TlvPartner::replay(const SavedCall& call, Pacing pacing, const std::atomic_bool* stop)
{
    std::chrono::microseconds played(0);
    pacer_.start();
    for (const TLV_CLASS& record : call.records()) {
        const bool stopping = stop != nullptr && stop->load();
        if (stopping && isVoiceTag(record.tag()))
            continue;
        if (pacing == Pacing::Network && !stopping)
            pacer_.waitUntil(played);
        if (!sendRecord(record))
            return false;
        played += voiceAirTime(record);
    }
    return true;
}

std::optional<TlvMessage> TlvPartner::receive(std::chrono::milliseconds timeout)
{
    std::optional<Datagram> datagram = socket_.receive(timeout);
    if (!datagram)
        return std::nullopt;
    TlvMessage message = decodeTlvDatagram(datagram->bytes);
    message.from = datagram->from;
    return message;
}

std::optional<TlvMessage> TlvPartner::receiveMatching(const std::function<bool(const TlvMessage&)>& match,
                                                      std::chrono::milliseconds timeout,
                                                      std::vector<TlvMessage>* skipped)
{
    return receiveMatchingWithin<TlvMessage>([this](std::chrono::milliseconds left) { return receive(left); }, match, timeout,
                                     skipped);
}

std::optional<TlvMessage> TlvPartner::receiveTag(std::uint8_t tag, std::chrono::milliseconds timeout,
                                                 std::vector<TlvMessage>* skipped)
{
    return receiveMatching([tag](const TlvMessage& m) { return m.is(tag); }, timeout, skipped);
}

SavedCall TlvPartner::receiveCall(std::chrono::milliseconds timeout, std::vector<TlvMessage>* skipped)
{
    CallCollector collector;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::optional<TlvMessage> message = receive(std::max(left, std::chrono::milliseconds(0)));
        if (!message)
            return collector.current();
        if (!message->record) {
            if (skipped != nullptr)
                skipped->push_back(std::move(*message));
            continue;
        }
        std::optional<SavedCall> done = collector.add(*message->record);
        if (done)
            return std::move(*done);
        const bool taken = collector.inCall() && (message->is(TAG_BEGIN_TX) || isVoiceTag(message->tag()));
        if (!taken && skipped != nullptr)
            skipped->push_back(std::move(*message));
    }
}

} // namespace halvane
