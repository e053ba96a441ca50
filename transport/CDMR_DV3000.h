// The middle class of the vocoder chain: a DV3000 configured for the frame
// size in use. Constructing it starts the chip with the DMR rate parameters
// (used for every AMBE+2 size) or, for size 48, the D-STAR ones; the bridge
// derives from it, so constructing the bridge probes the hardware first.
//
// Construction never fails: dv3000Ready tells afterwards whether the chip
// answered and took the rate command. Lifetime, ownership and thread-safety
// are those of CDV3000_Base.
#pragma once

#include "CDV3000_Base.h"
#include "DV3000Protocol.h"

namespace halvane {

class CDMR_DV3000 : public CDV3000_Base {
public:
    static constexpr const unsigned char (&rateCommand)[dv3000::RATE_COMMAND_SIZE] = dv3000::RATE_DMR;
    static constexpr const unsigned char (&rateCommandDSTAR)[dv3000::RATE_COMMAND_SIZE] = dv3000::RATE_DSTAR;

    // Starts the chip found through `options` with the rate command for
    // `ambeSize` (rateCommandFor); `timing` is a test seam.
    CDMR_DV3000(int ambeSize, const DV3000Options& options, const DV3000Timing& timing = DV3000Timing{});

    // D-STAR parameters for size 48, DMR parameters for every other size.
    static const unsigned char* rateCommandFor(int ambeSize);

    // Frame-feeding interface for 27-byte DMR bursts; no path feeds it.
    void addFrame(unsigned char* frame) override;
    void addBit(int bit) override;
    void* decodeThread(void* arg) override;
};

} // namespace halvane
