// USRP datagrams from the client: the header fields, registration texts,
// the voice decoders of every codec, the record of a TLV-carrying packet and
// the call record a text packet names.
#include "CUsrpPacket.h"
#include "CallRecord.h"
#include "CommandInterpreter.h"
#include "FuzzSupport.h"
#include "SubscriberDatabase.h"
#include "TLV_CLASS.h"
#include "UsrpProtocol.h"
#include "dv3000_servers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace halvane;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A tiny clock keeps the subscriber tables from ever loading a file.
    static SubscriberDatabase subscribers([] { return std::uint32_t{0}; });
    servers.setDefaults();

    CUsrpPacket packet;
    std::memcpy(packet.data(), data, std::min(size, packet.capacity()));
    packet.setReceived(size);
    if (packet.size() > packet.capacity() || packet.payloadLength() > USRP_PAYLOAD_SIZE)
        std::abort();
    packet.hasMagic();
    packet.seq();
    packet.keyed();
    packet.hasValidVoiceSize();
    packet.registration();
    if (packet.text().size() > packet.payloadArea().size())
        std::abort();

    switch (packet.type()) {
    case USRP_TYPE_TLV:
        if (std::unique_ptr<TLV_CLASS> record = TLV_CLASS::fromRecord(packet.payloadArea()))
            parseCallRecord(*record);
        break;
    case USRP_TYPE_TEXT:
        CommandInterpreter::clientCallRecord(packet.payloadArea(), servers, subscribers);
        break;
    default: {
        ImaAdpcmState adpcm{};
        packet.decodeVoice(adpcm);
        std::int16_t samples[USRP_VOICE_SAMPLES];
        packet.samples(samples);
        break;
    }
    }
    return 0;
}
