// Run-time steering by text: the USRP client's text and DTMF packets (encode
// thread) and the command records of the partner or of DTMF tunes (decode
// thread).
//
// Ownership and lifetime: owned by the bridge for the whole process.
// Thread-safety: handleUsrpText and handleDtmf run on the encode thread,
// execute on the decode thread; shared state is the settings record.
#pragma once

class CDMR_DV3000_DMRLink;
class CUsrpPacket;
class TLV_CLASS;

class CommandInterpreter {
public:
    explicit CommandInterpreter(CDMR_DV3000_DMRLink& bridge);
    CommandInterpreter(const CommandInterpreter&) = delete;
    CommandInterpreter& operator=(const CommandInterpreter&) = delete;

    // A USRP_TYPE_TEXT packet that is not a registration.
    void handleUsrpText(const CUsrpPacket& packet);

    // A USRP_TYPE_DTMF packet.
    void handleDtmf(const CUsrpPacket& packet);

    // A TAG_REMOTE_CMD record.
    void execute(const TLV_CLASS& record);

private:
    CDMR_DV3000_DMRLink& bridge_;
};
