// What a command may change in the bridge beyond the settings: the vocoder
// and the call in progress after a mode change, the TLV endpoints after a
// port change, the AGC of the USRP direction, the identity of the client's
// next transmission, and the process's end. The bridge implements it; tests
// record.
//
// Thread-safety: the encode thread (client texts) and the decode thread
// (command records) call it; each operation is safe from either.
#pragma once

#include "CallRecord.h"
#include "dv3000_servers.h"

namespace halvane {

class CommandTarget {
public:
    virtual ~CommandTarget() = default;

    // Restarts a DV3000 in use with the rate for `ambeSize`; nothing
    // without one.
    virtual void setupVocoderFor(int ambeSize) = 0;
    // Forgets the partner's call in progress; no unkey is sent.
    virtual void clearRxSlot() = 0;
    // The TLV listener, and the encode path's send endpoint, are made anew
    // for the changed settings.
    virtual void reopenTlvRx() = 0;
    virtual void reopenTlvTx() = 0;
    virtual void setUsrpAgc(const AgcSettings& agc) = 0;
    // The identity of the client's next transmission (encode thread).
    virtual void setClientCallRecord(const CallRecord& record) = 0;
    // The partner's "exit=": the orderly exit with `status`.
    [[noreturn]] virtual void exitApp(int status, int code) = 0;
};

} // namespace halvane
