#include "dv3000_servers.h"

namespace halvane {

dv3000_servers servers;

void dv3000_servers::setDefaults()
{
    tlvAddress.set("127.0.0.1");
    tlvTxPorts.set(PortList{31003});
    tlvRxPort = 31000;
    ambeSize = 72;
    ambeMode.set("DMR");
    minTxTimeMS = 2000;
    dv3000Address.set("127.0.0.1");
    dv3000Port = 2460;
    dv3000Baud = 460800;
    usrpAddress.set("127.0.0.1");
    pingTimer = 10;
    usrpRxPort = 34001;
    tlvGain = 0.35f;
    tlvAudio = AUDIO_UNITY;
    usrpTxPorts.set(PortList{32001});
    pcmPort = 0;
    usrpGain = 1.0f;
    usrpAudio = AUDIO_UNITY;
    usrpAgc.set(AgcSettings{});
    inputAudioDevice.set("/dev/null");
    outputAudioDevice.set("/dev/null");
    decoderFallBack = false;
    useEmulator = false;
    emulatorAddress.set("127.0.0.1:2470");
    useMicrophone = false;
    monitorASLAudio = false;
    voxTrigger = 200;
    voxDecay = 100;
    useVox = false;
    gatewayDmrId = 0;
    repeaterID = 0;
    txTg = 9;
    txTs = 2;
    colorCode = 1;
    subscriberFile.set("./subscriber_ids.csv");
    transferRootDir.set("/tmp");
    macroListDir.set("");
    exportMetadata = false;
    mute = Mute::OFF;
    usrpPacing = true;
    usrpPacingTargetMS = 50;
    tlvAnySource = false;
    usrpAnySource = false;
    dv3000ReplyTimeoutMS = 250;
    lastTune.set("");
    remoteControlAddress.set("127.0.0.1");
    remoteControlPort = 34002;
    remoteControlReplyPort = 34003;
}

} // namespace halvane
