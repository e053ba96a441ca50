#include "DecodePath.h"

#include "CDMR_DV3000_DMRLink.h"
#include "Log.h"
#include "TLV_CLASS.h"

DecodePath::DecodePath(CDMR_DV3000_DMRLink& bridge) : bridge_(bridge) {}

void DecodePath::start(bool hardware)
{
    hardware_ = hardware;
}

void DecodePath::handle(const TLV_CLASS& record)
{
    Log(1, "TLV record tag %d length %d\n", record.tag(), record.length());
}

void DecodePath::clearSlot() {}
