// The decode thread's handling of the partner's records: calls start and end
// on their slot, frames become USRP voice, identities are exported.
//
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: start() and handle() run on the decode thread only.
#pragma once

class CDMR_DV3000_DMRLink;
class TLV_CLASS;

class DecodePath {
public:
    explicit DecodePath(CDMR_DV3000_DMRLink& bridge);
    DecodePath(const DecodePath&) = delete;
    DecodePath& operator=(const DecodePath&) = delete;

    // Thread start; `hardware` selects the DV3000 for decoding.
    void start(bool hardware);

    // One record taken off the queue.
    void handle(const TLV_CLASS& record);

    // Forgets the call in progress (a mode change).
    void clearSlot();

private:
    CDMR_DV3000_DMRLink& bridge_;
    bool hardware_ = false;
};
