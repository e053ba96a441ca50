#include "CommandInterpreter.h"

#include "CDMR_DV3000_DMRLink.h"
#include "CUsrpPacket.h"
#include "TLV_CLASS.h"

CommandInterpreter::CommandInterpreter(CDMR_DV3000_DMRLink& bridge) : bridge_(bridge) {}

void CommandInterpreter::handleUsrpText(const CUsrpPacket&) {}

void CommandInterpreter::handleDtmf(const CUsrpPacket&) {}

void CommandInterpreter::execute(const TLV_CLASS&) {}
