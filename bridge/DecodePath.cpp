#include "DecodePath.h"

#include "AudioDevice.h"
#include "CallRecord.h"
#include "Log.h"
#include "MacroRunner.h"
#include "PeerSender.h"
#include "SubscriberDatabase.h"
#include "UsrpPacer.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <thread>

namespace halvane {

namespace {

constexpr std::size_t LARGEST_FRAME = ImbeFrame::SIZE;

template <typename Frame>
Frame frameAt(const std::uint8_t* bytes)
{
    Frame frame;
    std::memcpy(frame.data(), bytes, Frame::SIZE);
    return frame;
}

// Calls `decode` with each frame of a voice record: the first at `first`
// always, each further one while its start lies before the value's last two
// bytes. A frame cut short by the record's end is padded with zeros, so the
// number of frames follows from the length alone and nothing is read past
// the value.
template <typename Decode>
void forEachFrame(const TLV_CLASS& record, std::size_t first, std::size_t frameBytes, Decode&& decode)
{
    const std::size_t len = record.length();
    for (std::size_t offset = first; offset == first || offset + 2 < len; offset += frameBytes) {
        std::array<std::uint8_t, LARGEST_FRAME> frame{};
        const std::size_t present = offset < len ? std::min(frameBytes, len - offset) : 0;
        std::memcpy(frame.data(), record.value() + offset, present);
        decode(frame.data());
    }
}

} // namespace

DecodePath::DecodePath(Links links) : links_(std::move(links)), settings_(links_.settings), decoder_(links_.vocoder)
{
    if (!links_.clock.now)
        links_.clock.now = [] { return Clock::now(); };
    if (!links_.clock.sleep)
        links_.clock.sleep = [](Clock::duration pause) { std::this_thread::sleep_for(pause); };
}

bool DecodePath::usrpMuted() const
{
    const int mute = settings_.mute;
    return mute == Mute::USRP || mute == Mute::BOTH;
}

void DecodePath::start()
{
    links_.macros.getInfoAsJson();
    const bool paced = settings_.usrpPacing;
    if (links_.pacer.start(paced) && paced)
        Log(3, "Decoded audio is paced to the USRP client every 20 ms\n");
    else
        Log(3, "Decoded audio goes to the USRP client unpaced\n");
}

void DecodePath::handleNext(TlvQueue& queue)
{
    Clock::duration wait = IDLE_WAIT;
    if (rxSlot_ != 0)
        wait = std::clamp<Clock::duration>(lastVoice_ + CALL_SILENCE_LIMIT - links_.clock.now(),
                                           Clock::duration::zero(), IDLE_WAIT);
    std::optional<std::unique_ptr<TLV_CLASS>> record = queue.popFor(wait);
    if (record && *record)
        handle(**record);
    checkSilence(queue);
}

void DecodePath::handle(const TLV_CLASS& record)
{
    Log(1, "TLV record tag %d length %d\n", record.tag(), record.length());
    switch (record.tag()) {
    case TAG_BEGIN_TX:
    case TAG_SET_INFO:
        handleCallRecord(record);
        break;
    case TAG_END_TX:
        handleEndTx(record);
        break;
    case TAG_AMBE_49:
    case TAG_AMBE_72:
        handleAmbe(record);
        break;
    case TAG_IMBE:
        handleImbe(record);
        break;
    case TAG_AMBE_DSTAR:
        handleDstar(record);
        break;
    case TAG_TG_TUNE:
        handleTune(record);
        break;
    case TAG_REMOTE_CMD:
        if (links_.command)
            links_.command(record);
        break;
    case TAG_FILE_XFER:
        if (links_.fileTransfer)
            links_.fileTransfer(record);
        break;
    case TAG_WAKEUP:
        break;
    case TAG_EVENT:
        handleEvent(record);
        break;
    default:
        Log(5, "Unknown tag (%d) in TLV\n", record.tag());
        break;
    }
    const std::uint64_t failures = decoder_.failures();
    links_.health.vocoderFailures += failures - failuresCounted_;
    failuresCounted_ = failures;
}

void DecodePath::handleCallRecord(const TLV_CLASS& record)
{
    CallRecord call = parseCallRecord(record);
    if (call.repeater == 0)
        call.repeater = static_cast<std::uint32_t>(settings_.repeaterID.load());
    // Anyone who reaches the TLV port can send this: it costs the record,
    // not the process. It also covers TAG_SET_INFO, which would make the
    // repeater ID equal the gateway ID.
    if (call.source == call.repeater) {
        Log(5, "Repeater ID (%d) can not be the same as subscriber ID (%d). Fatal error exiting\n",
            static_cast<int>(call.source), static_cast<int>(call.source));
        return;
    }

    bool started = false;
    if (record.tag() == TAG_BEGIN_TX) {
        const int current = rxSlot_;
        if (current != 0) {
            Log(3, "Ignore TX: src=%u rpt=%u dst=%u slot=%u cc=%u (%u)\n", call.source, call.repeater,
                call.destination, static_cast<unsigned>(call.slot), static_cast<unsigned>(call.colorCode),
                static_cast<unsigned>(current));
        } else {
            Log(3, "Begin TX: src=%d rpt=%d dst=%d slot=%d cc=%d call=%s\n", static_cast<int>(call.source),
                static_cast<int>(call.repeater), static_cast<int>(call.destination), call.slot, call.colorCode,
                call.call.c_str());
            rxSlot_ = call.slot;
            started = true;
            ++links_.health.callsStarted;
            callStart_ = links_.clock.now();
            callFrames_ = 0;
            callBlocks_ = 0;
            if (settings_.exportMetadata) {
                TLV_CLASS metadata = links_.subscribers.callMetadataRecord(call, links_.clientRegistered);
                links_.peers.sendMetadataToUSRP(metadata.data(), static_cast<int>(metadata.size()));
            }
        }
    } else {
        Log(3, "Set Info: src=%u rpt=%u dst=%u slot=%u cc=%u\n", call.source, call.repeater, call.destination,
            static_cast<unsigned>(call.slot), static_cast<unsigned>(call.colorCode));
        settings_.repeaterID = static_cast<int>(call.repeater);
        settings_.txTs = call.slot;
        settings_.gatewayDmrId = static_cast<int>(call.source);
        settings_.txTg = static_cast<int>(call.destination);
        settings_.colorCode = call.colorCode;
        settings_.defaultMetadata.set(links_.subscribers.findSubscriber(call.source));
    }
    links_.clock.sleep(CALL_RECORD_PAUSE);
    // The call's first voice has waited behind the pause: the silence
    // watchdog counts from its end.
    if (started)
        noteVoice();
}

void DecodePath::handleEndTx(const TLV_CLASS& record)
{
    const int slot = record.value()[0];
    const int current = rxSlot_;
    if (slot == current)
        endCall();
    else
        Log(1, "Ignore TAG_END_TX (%d, %d)\n", slot, current);
}

void DecodePath::clearSlot()
{
    if (rxSlot_.exchange(0) != 0)
        ++links_.health.callsEnded;
}

void DecodePath::endCall()
{
    Log(1, "End TX\n");
    // A mode change may have forgotten the call meanwhile (clearSlot) and
    // counted its end.
    if (const int slot = rxSlot_.exchange(0); slot != 0) {
        ++links_.health.callsEnded;
        Log(3, "Call from the partner on slot %d ended after %lld ms: %llu frames in, %llu blocks out\n", slot,
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(links_.clock.now() - callStart_).count()),
            static_cast<unsigned long long>(callFrames_), static_cast<unsigned long long>(callBlocks_));
    }
    if (!usrpMuted())
        links_.pacer.pushUnkey();
}

void DecodePath::checkSilence(const TlvQueue& queue)
{
    const int slot = rxSlot_;
    // Records still queued may hold the call's voice: they come first.
    if (slot == 0 || queue.size() != 0)
        return;
    const Clock::duration silent = links_.clock.now() - lastVoice_;
    if (silent < CALL_SILENCE_LIMIT)
        return;
    Log(4, "No voice on slot %d for %lld ms: ending the call without its TAG_END_TX\n", slot,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(silent).count()));
    endCall();
}

void DecodePath::handleAmbe(const TLV_CLASS& record)
{
    const bool ambe49 = record.tag() == TAG_AMBE_49;
    const int slot = record.value()[0];
    const int current = rxSlot_;
    if (slot != current) {
        if (ambe49)
            Log(1, "Ignore TAG_AMBE_49 (%d, %d)\n", slot, current);
        else
            Log(1, "Ignore TAG_AMBE_72 (%d, %d)\n", slot, current);
        return;
    }
    if (record.length() > 3) {
        forEachFrame(record, 1, ambe49 ? Ambe49Frame::SIZE : Ambe72Frame::SIZE, [&](const std::uint8_t* bytes) {
            if (ambe49)
                swDecode49BitAMBE(frameAt<Ambe49Frame>(bytes));
            else
                swDecode72BitAMBE(frameAt<Ambe72Frame>(bytes));
        });
    }
    if (current != 0)
        noteVoice();
}

void DecodePath::handleImbe(const TLV_CLASS& record)
{
    // The DV3000 has no IMBE rate: P25 and wide YSF are always decoded in software.
    if (record.length() > 2)
        forEachFrame(record, 0, ImbeFrame::SIZE,
                     [&](const std::uint8_t* bytes) { swDecodeIMBE(frameAt<ImbeFrame>(bytes)); });
    if (rxSlot_ != 0)
        noteVoice();
}

void DecodePath::handleDstar(const TLV_CLASS& record)
{
    DstarFrame frame;
    std::memcpy(frame.data(), record.value(), std::min<std::size_t>(record.length(), DstarFrame::SIZE));
    PcmBlock pcm;
    decoder_.current().decodeDstar(frame, pcm);
    processAudio(pcm);
    if (rxSlot_ != 0)
        noteVoice();
}

void DecodePath::swDecode49BitAMBE(const Ambe49Frame& frame)
{
    PcmBlock pcm;
    decoder_.current().decode49(frame, pcm);
    processAudio(pcm);
}

void DecodePath::swDecode72BitAMBE(const Ambe72Frame& frame)
{
    PcmBlock pcm;
    decoder_.current().decode72(frame, pcm);
    processAudio(pcm);
}

void DecodePath::swDecodeIMBE(const ImbeFrame& frame)
{
    PcmBlock pcm;
    decoder_.current().decodeImbe(frame, pcm);
    processAudio(pcm);
}

void DecodePath::handleTune(const TLV_CLASS& record)
{
    if (!links_.asl) {
        const std::string address = settings_.tlvAddress.get();
        const PortList ports = settings_.tlvTxPorts.get();
        links_.peers.sendSingle(address.c_str(), ports.data(), record.data(), static_cast<int>(record.size()));
    }
    std::string text(record.text());
    text = text.substr(0, text.find('='));
    const long number = std::strtol(text.c_str(), nullptr, 10);
    const int talkGroup = static_cast<int>(std::clamp<long>(number, INT_MIN, INT_MAX));
    settings_.txTg = talkGroup;
    Log(3, "Tune to TG: %d\n", talkGroup);
}

void DecodePath::handleEvent(const TLV_CLASS& record)
{
    Log(3, "EVENT: %s\n", record.text());
    links_.macros.executeMacroCommand("OnEvent", record.text());
}

void DecodePath::processAudio(const PcmBlock& pcm)
{
    ++links_.health.in;
    ++callFrames_;
    if (settings_.monitorASLAudio)
        processAudioxxx(pcm.data(), static_cast<int>(PCM_BLOCK_BYTES));
    if (!settings_.useMicrophone && !usrpMuted()) {
        links_.pacer.push(pcm.data(), static_cast<int>(PCM_BLOCK_BYTES));
        ++callBlocks_;
    }
}

} // namespace halvane
