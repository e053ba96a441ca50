#include "EncodePath.h"

#include "CDMR_DV3000_DMRLink.h"
#include "CUsrpPacket.h"

EncodePath::EncodePath(CDMR_DV3000_DMRLink& bridge) : bridge_(bridge) {}

void EncodePath::start() {}

void EncodePath::onReceiveTimeout() {}

void EncodePath::handleVoice(CUsrpPacket&) {}

void EncodePath::setClientCallRecord(const CallRecord&) {}
