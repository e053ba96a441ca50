// The settings record of the process: every setting of Halvane, filled once
// at start-up from the ini file (ConfigFile.h) and changed at run time by text
// commands and the remote control.
//
// Lifetime: one global instance, `servers`, for the whole process.
// Thread-safety: numbers are atomics and wider values are Guarded, so any
// thread may read or replace any field at any time and always sees a whole
// value. Fields that change together (ambeMode and ambeSize) may be seen
// half-changed for an instant; readers take whatever is current.
// `macros` is written only during start-up, before other threads exist.
#pragma once

#include "Guarded.h"
#include "PortList.h"
#include "SettingText.h"

#include <array>
#include <atomic>
#include <string>
#include <vector>

namespace halvane {

// Parameters handed to the AGC together with the sample rate 8000.
struct AgcSettings {
    bool hang = false;
    int threshold = -20;
    int slope = 10;
    int decay = 100;
    bool operator==(const AgcSettings&) const = default;
};

// Audio shaping of one direction.
enum AudioShaping : int { AUDIO_UNITY = 0, AUDIO_USE_GAIN = 1, AUDIO_USE_AGC = 2, AUDIO_USE_BPF = 3 };

// Which side's output is muted.
namespace Mute {
constexpr int OFF = 0;
constexpr int USRP = 1;
constexpr int TLV = 2;
constexpr int BOTH = 3;
} // namespace Mute

struct Macro {
    std::string name;
    std::string command;
};

// Capacity of owned texts (paths, commands): generous, but bounded.
constexpr std::size_t OWNED_TEXT = 4096;

struct dv3000_servers {
    SettingText<64> tlvAddress;
    Guarded<PortList> tlvTxPorts;
    std::atomic_int tlvRxPort{0};
    std::atomic_int ambeSize{0};
    SettingText<16> ambeMode;
    std::atomic_int minTxTimeMS{0};
    SettingText<64> dv3000Address;
    std::atomic_int dv3000Port{0};
    std::atomic_int dv3000Baud{0};
    std::atomic_bool dv3000Serial{false};
    SettingText<64> usrpAddress;
    std::atomic_int pingTimer{0};
    std::atomic_int usrpRxPort{0};
    std::atomic<float> tlvGain{0};
    std::atomic_int tlvAudio{AUDIO_UNITY};
    Guarded<PortList> usrpTxPorts;
    std::atomic_int pcmPort{0};
    std::atomic<float> usrpGain{0};
    std::atomic_int usrpAudio{AUDIO_UNITY};
    Guarded<AgcSettings> usrpAgc;
    SettingText<OWNED_TEXT> inputAudioDevice;
    SettingText<OWNED_TEXT> outputAudioDevice;
    std::atomic_bool decoderFallBack{false};
    std::atomic_bool useEmulator{false};
    SettingText<OWNED_TEXT> emulatorAddress;
    std::atomic_bool useMicrophone{false};
    std::atomic_bool monitorASLAudio{false};
    std::atomic_int voxTrigger{0};
    std::atomic_int voxDecay{0};
    std::atomic_bool useVox{false};
    std::atomic_int gatewayDmrId{0};
    std::atomic_int repeaterID{0};
    std::atomic_int txTg{0};
    std::atomic_int txTs{0};
    std::atomic_int colorCode{0};
    SettingText<OWNED_TEXT> defaultMetadata; // empty until the bridge sets it
    SettingText<OWNED_TEXT> subscriberFile;
    SettingText<OWNED_TEXT> transferRootDir;
    // Where "macro=" and "menu=" read their list files; empty: transferRootDir.
    SettingText<OWNED_TEXT> macroListDir;
    std::atomic_bool exportMetadata{false};
    std::vector<Macro> macros;
    std::atomic_int mute{Mute::OFF};
    std::atomic_bool usrpPacing{true}; // decoded voice leaves on a 20 ms clock
    // The delay, in ms, the pacer works back down to after a burst.
    std::atomic_int usrpPacingTargetMS{50};
    // Listeners that take datagrams from every source, not only the
    // configured peer's host.
    std::atomic_bool tlvAnySource{false};
    std::atomic_bool usrpAnySource{false};
    // Longest wait for the DV3000's answer to one block, in ms.
    std::atomic_int dv3000ReplyTimeoutMS{250};
    SettingText<OWNED_TEXT> lastTune;
    // The console radio's remote control: where it listens, and the port on
    // 127.0.0.1 its replies go to.
    SettingText<64> remoteControlAddress;
    std::atomic_int remoteControlPort{0};
    std::atomic_int remoteControlReplyPort{0};

    dv3000_servers() { setDefaults(); }

    // Every field to its default, except dv3000Serial, defaultMetadata and
    // macros, which keep what they hold.
    void setDefaults();
};

extern dv3000_servers servers;

} // namespace halvane
