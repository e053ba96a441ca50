#include "TlvDatagram.h"

#include "CUsrpPacket.h"
#include "Log.h"

namespace halvane {

std::unique_ptr<TLV_CLASS> acceptTlvDatagram(std::span<const std::uint8_t> datagram, const char* address, int port)
{
    std::unique_ptr<TLV_CLASS> record = TLV_CLASS::fromDatagram(datagram);
    if (record)
        return record;
    const int says = datagram.size() > TLV_OFFSET_LENGTH ? datagram[TLV_OFFSET_LENGTH] : -1;
    Log(4, "TLV length does not match UDP/serial bytes received (got %zu and tlv says %d)\n", datagram.size(), says);
    if (CUsrpPacket::hasMagic(datagram))
        Log(4, "Port configuration error, just got a USRP packet on host:port %s:%d\n",
            address != nullptr ? address : "", port);
    LogHexDump("TLV refused", datagram.data(), datagram.size());
    return nullptr;
}

} // namespace halvane
