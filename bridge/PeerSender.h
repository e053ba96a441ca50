// What the parts of the bridge send to the two peers outside their own
// streams: texts, metadata and TLV records to the USRP client, single
// datagrams to the partner. The bridge implements it; tests record.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include "UsrpProtocol.h"

namespace halvane {

class PeerSender {
public:
    virtual ~PeerSender() = default;

    // One packet of `type` to the USRP client carrying `len` bytes, at
    // least 352 bytes long.
    virtual void sendPacketToUSRP(int type, const void* data, int len) = 0;
    // One datagram to `address` on `ports` through a temporary endpoint;
    // nothing in ASL mode.
    virtual void sendSingle(const char* address, const int* ports, const void* data, int len) = 0;

    // A call record for the client, in a text packet.
    void sendMetadataToUSRP(const void* data, int len) { sendPacketToUSRP(USRP_TYPE_TEXT, data, len); }
};

} // namespace halvane
