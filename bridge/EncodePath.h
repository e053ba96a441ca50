// The encode thread's voice handling: USRP voice blocks from the client
// become TAG_BEGIN_TX, vocoder records and TAG_END_TX for the partner.
//
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: every operation runs on the encode thread only.
#pragma once

#include "CallRecord.h"

class CDMR_DV3000_DMRLink;
class CUsrpPacket;

class EncodePath {
public:
    explicit EncodePath(CDMR_DV3000_DMRLink& bridge);
    EncodePath(const EncodePath&) = delete;
    EncodePath& operator=(const EncodePath&) = delete;

    // Thread start: mode flags, record buffers, the default call record and
    // the identity check.
    void start();

    // No USRP datagram arrived for 20 seconds.
    void onReceiveTimeout();

    // One datagram of a voice type (0, 5 or 6) with a good magic, as read.
    void handleVoice(CUsrpPacket& packet);

    // A call record sent by the USRP client becomes the current one.
    void setClientCallRecord(const CallRecord& record);

private:
    CDMR_DV3000_DMRLink& bridge_;
};
