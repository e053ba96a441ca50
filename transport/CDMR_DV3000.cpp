#include "CDMR_DV3000.h"

#include "Log.h"

namespace halvane {

namespace {

constexpr int DSTAR_SIZE = 48;

} // namespace

CDMR_DV3000::CDMR_DV3000(int ambeSize, const DV3000Options& options, const DV3000Timing& timing)
    : CDV3000_Base(options, timing)
{
    if (ambeSize == DSTAR_SIZE)
        Log(1, "Attempt to  init DV3000 in DSTAR mode\n");
    else
        Log(1, "Attempt to  init DV3000 in DMR mode\n");
    initDV3000(rateCommandFor(ambeSize));
}

const unsigned char* CDMR_DV3000::rateCommandFor(int ambeSize)
{
    return ambeSize == DSTAR_SIZE ? rateCommandDSTAR : rateCommand;
}

void CDMR_DV3000::addFrame(unsigned char*) {}

void CDMR_DV3000::addBit(int) {}

void* CDMR_DV3000::decodeThread(void*)
{
    return nullptr;
}

} // namespace halvane
