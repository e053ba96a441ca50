#include "LogCapture.h"

#include "ConfigFile.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <functional>

namespace halvane {

namespace {

// Loads `body` (plus two distinct IDs unless the body sets them) as an ini file.
int load(const TempDir& dir, const std::string& body, bool addIds = true)
{
    std::string text = body;
    if (addIds)
        text += "\n[AMBE_AUDIO]\ngatewayDmrId = 3100001\nrepeaterID = 3100002\n";
    return loadConfigFile(dir.write("test.ini", text).c_str());
}

struct KeyCase {
    const char* section;
    const char* key;
    const char* value;
    int deprecatedLevel; // 0: no deprecation line
    std::function<bool()> isSet;
};

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        servers.setDefaults();
        servers.macros.clear();
    }
    void TearDown() override
    {
        servers.setDefaults();
        servers.macros.clear();
        setLogDestination(LogDestination::Both);
    }
    TempDir dir;
};

char letterOf(int level)
{
    return " DMIWEF"[level];
}

} // namespace

TEST_F(ConfigFileTest, EveryKeyAndAliasSetsItsField)
{
    auto s = [] { return &servers; };
    const std::vector<KeyCase> cases = {
        {"AMBE_AUDIO", "server", "10.9.8.7", 6, [s] { return s()->tlvAddress.get() == "10.9.8.7"; }},
        {"AMBE_AUDIO", "Address", "10.9.8.6", 0, [s] { return s()->tlvAddress.get() == "10.9.8.6"; }},
        {"AMBE_AUDIO", "fromDMRPort", "41000", 6, [s] { return s()->tlvRxPort == 41000; }},
        {"AMBE_AUDIO", "RXPort", "41001", 0, [s] { return s()->tlvRxPort == 41001; }},
        {"AMBE_AUDIO", "toDMRPort", "41002", 6, [s] { return s()->tlvTxPorts.get()[0] == 41002; }},
        {"AMBE_AUDIO", "TXPort", "41003,41004", 0,
         [s] { return s()->tlvTxPorts.get()[1] == 41004 && s()->tlvTxPorts.get()[2] == 0; }},
        {"AMBE_AUDIO", "ambeSize", "49", 0,
         [s] { return s()->ambeSize == 49 && s()->ambeMode.get() == "DMR_IPSC"; }},
        {"AMBE_AUDIO", "ambeMode", "p25", 0, [s] { return s()->ambeSize == 88 && s()->ambeMode.get() == "P25"; }},
        {"AMBE_AUDIO", "minTxTimeMS", "1500", 0, [s] { return s()->minTxTimeMS == 1500; }},
        {"AMBE_AUDIO", "txTg", "91", 0, [s] { return s()->txTg == 91; }},
        {"AMBE_AUDIO", "txTs", "1", 0, [s] { return s()->txTs == 1; }},
        {"AMBE_AUDIO", "colorCode", "7", 0, [s] { return s()->colorCode == 7; }},
        {"USRP", "server", "10.1.1.1", 6, [s] { return s()->usrpAddress.get() == "10.1.1.1"; }},
        {"USRP", "Address", "10.1.1.2", 0, [s] { return s()->usrpAddress.get() == "10.1.1.2"; }},
        {"USRP", "toASLPort", "42000", 6, [s] { return s()->usrpTxPorts.get()[0] == 42000; }},
        {"USRP", "fromASLPort", "42001", 6, [s] { return s()->usrpRxPort == 42001; }},
        {"USRP", "TXPort", "42002", 0, [s] { return s()->usrpTxPorts.get()[0] == 42002; }},
        {"USRP", "RXPort", "42003", 0, [s] { return s()->usrpRxPort == 42003; }},
        {"USRP", "pingTimer", "5", 0, [s] { return s()->pingTimer == 5; }},
        {"USRP", "usrpAudio", "audio_use_agc", 0, [s] { return s()->usrpAudio == AUDIO_USE_AGC; }},
        {"USRP", "aslAudio", "AUDIO_USE_BPF", 4, [s] { return s()->usrpAudio == AUDIO_USE_BPF; }},
        {"USRP", "agcGain", "2.5", 4, [s] { return s()->usrpGain == 2.5f; }},
        {"USRP", "usrpGain", "0.5", 0, [s] { return s()->usrpGain == 0.5f; }},
        {"USRP", "tlvAudio", "AUDIO_USE_GAIN", 0, [s] { return s()->tlvAudio == AUDIO_USE_GAIN; }},
        {"USRP", "dmrAudio", "AUDIO_USE_AGC", 4, [s] { return s()->tlvAudio == AUDIO_USE_AGC; }},
        {"USRP", "dmrGain", "0.75", 4, [s] { return s()->tlvGain == 0.75f; }},
        {"USRP", "tlvGain", "0.25", 0, [s] { return s()->tlvGain == 0.25f; }},
        {"USRP", "usrpAgc", "-30|5|200", 0,
         [s] { return s()->usrpAgc.get() == AgcSettings{false, -30, 5, 200}; }},
        {"DV3000", "server", "dv.local", 6, [s] { return s()->dv3000Address.get() == "dv.local"; }},
        {"DV3000", "Address", "/dev/ttyUSB0", 0, [s] { return s()->dv3000Address.get() == "/dev/ttyUSB0"; }},
        {"DV3000", "serial", "TRUE", 0, [s] { return s()->dv3000Serial.load(); }},
        {"DV3000", "port", "2461", 6, [s] { return s()->dv3000Port == 2461; }},
        {"DV3000", "RXPort", "2462", 0, [s] { return s()->dv3000Port == 2462; }},
        {"DV3000", "baud", "230400", 0, [s] { return s()->dv3000Baud == 230400; }},
        {"GENERAL", "inputAudioDevice", "/dev/dsp1", 0, [s] { return s()->inputAudioDevice.get() == "/dev/dsp1"; }},
        {"GENERAL", "outputAudioDevice", "/dev/dsp2", 0,
         [s] { return s()->outputAudioDevice.get() == "/dev/dsp2"; }},
        {"GENERAL", "decoderFallBack", "true", 0, [s] { return s()->decoderFallBack.load(); }},
        {"GENERAL", "useEmulator", "True", 0, [s] { return s()->useEmulator.load(); }},
        {"GENERAL", "emulatorAddress", "emu 1 2", 0, [s] { return s()->emulatorAddress.get() == "emu 1 2"; }},
        {"GENERAL", "useMicrophone", "true", 0, [s] { return s()->useMicrophone.load(); }},
        {"GENERAL", "monitorASLAudio", "true", 0, [s] { return s()->monitorASLAudio.load(); }},
        {"GENERAL", "useVox", "TRUE", 0, [s] { return s()->useVox.load(); }},
        {"GENERAL", "voxDecay", "3", 0, [s] { return s()->voxDecay == 150; }},
        {"GENERAL", "voxTrigger", "300", 0, [s] { return s()->voxTrigger == 300; }},
        {"GENERAL", "logLevel", "1", 0, [] { return getLogLevel() == 1; }},
        {"GENERAL", "subscriberFile", "/var/lib/ids.csv", 0,
         [s] { return s()->subscriberFile.get() == "/var/lib/ids.csv"; }},
        {"GENERAL", "transferRootDir", "/srv", 0, [s] { return s()->transferRootDir.get() == "/srv"; }},
        {"GENERAL", "exportMetadata", "true", 0, [s] { return s()->exportMetadata.load(); }},
        {"GENERAL", "mute", "both", 0, [s] { return s()->mute == Mute::BOTH; }},
        {"GENERAL", "PCMPort", "2222", 0, [s] { return s()->pcmPort == 2222; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        LogCapture capture(1);
        servers.setDefaults();
        ConfigContext context;
        context.settings = &servers;
        EXPECT_EQ(handler(&context, c.section, c.key, c.value), 1);
        EXPECT_TRUE(c.isSet());
        std::string deprecation = std::string("Using deprecated option \"") + c.key + "\"";
        if (c.deprecatedLevel != 0)
            EXPECT_TRUE(capture.has(letterOf(c.deprecatedLevel), deprecation));
        else
            EXPECT_FALSE(capture.contains(deprecation));
        EXPECT_TRUE(capture.has('M', std::string("Setting [") + c.section + "] " + c.key + " -> " + c.value));
    }
}

TEST_F(ConfigFileTest, SectionsAndKeysMatchWithoutRegardToCase)
{
    ConfigContext context;
    context.settings = &servers;
    EXPECT_EQ(handler(&context, "ambe_audio", "TXTG", "77"), 1);
    EXPECT_EQ(servers.txTg, 77);
}

TEST_F(ConfigFileTest, OnlySectionWithIdsLeavesEverythingElseAtDefaults)
{
    LogCapture capture;
    servers.txTg = 1234;
    ASSERT_EQ(load(dir, ""), 0);
    EXPECT_EQ(servers.txTg, 9);
    EXPECT_EQ(servers.tlvRxPort, 31000);
    EXPECT_EQ(servers.tlvTxPorts.get(), (PortList{31003}));
    EXPECT_EQ(servers.usrpTxPorts.get(), (PortList{32001}));
    EXPECT_EQ(servers.ambeMode.get(), "DMR");
    EXPECT_FLOAT_EQ(servers.tlvGain, 0.35f);
    EXPECT_EQ(servers.usrpAgc.get(), (AgcSettings{false, -20, 10, 100}));
    EXPECT_EQ(servers.emulatorAddress.get(), "127.0.0.1:2470");
    EXPECT_EQ(servers.subscriberFile.get(), "./subscriber_ids.csv");
}

TEST_F(ConfigFileTest, EqualIdsAreRefusedWith254)
{
    LogCapture capture;
    EXPECT_EQ(load(dir, "[GENERAL]\nmute = OFF\n", false), 254);
    EXPECT_TRUE(capture.has('F', "Repeater ID (0) can not be the same as subscriber ID (0). Fatal error exiting"));
}

TEST_F(ConfigFileTest, MissingFileAndParseErrorsAre253WithTheLineNumber)
{
    LogCapture capture;
    EXPECT_EQ(loadConfigFile(dir.file("absent.ini").c_str()), 253);
    EXPECT_TRUE(capture.contains("ini file \"" + dir.file("absent.ini") + "\" was not found.  Fatal error exiting"));

    EXPECT_EQ(load(dir, "[GENERAL]\nmute = OFF\nmisspelt = 1\nalso = 2\n"), 253);
    EXPECT_TRUE(capture.has('W', "Unknown section/name in .ini file: GENERAL/misspelt"));
    EXPECT_TRUE(capture.has('W', "Unknown section/name in .ini file: GENERAL/also"));
    EXPECT_TRUE(capture.has('E', "parse error in file \"" + dir.file("test.ini") + "\" line 3.  Fatal error"));

    EXPECT_EQ(load(dir, "[GENERAL]\nno separator here\n"), 253);
    EXPECT_EQ(loadConfigFile(dir.path().c_str()), 253);
}

TEST_F(ConfigFileTest, IniSyntaxAsThePackagedParserReadsIt)
{
    LogCapture capture;
    std::string body = "\xEF\xBB\xBF; comment\n# comment\n"
                       "[AMBE_AUDIO]\n"
                       "txTg : 3100 ; trailing comment\n"
                       "Address = host;not-a-comment\n"
                       "[USRP]\n"
                       "TXPort = 1000\n"
                       "  2000\n";
    ASSERT_EQ(load(dir, body), 0);
    EXPECT_EQ(servers.txTg, 3100);
    EXPECT_EQ(servers.tlvAddress.get(), "host;not-a-comment");
    // A continuation line is handed over again with the same key.
    EXPECT_EQ(servers.usrpTxPorts.get()[0], 2000);
}

TEST_F(ConfigFileTest, OverlongLinesNamesAndValuesNeverOverflow)
{
    LogCapture capture;
    // Lines hold 200 bytes: a longer one is an error on its own line number.
    EXPECT_EQ(load(dir, "[GENERAL]\nCOMMENT = " + std::string(300, 'c') + "\n"), 253);
    EXPECT_TRUE(capture.contains("line 2.  Fatal"));

    // Names are cut to 49 characters.
    EXPECT_EQ(load(dir, "[GENERAL]\n" + std::string(60, 'k') + " = 1\n"), 253);
    EXPECT_TRUE(capture.contains("GENERAL/" + std::string(49, 'k') + "\n"));

    // A 64-byte text holds 63 characters; a longer address is refused, not cut.
    ASSERT_EQ(load(dir, "[USRP]\nAddress = " + std::string(63, 'a') + "\n"), 0);
    EXPECT_EQ(servers.usrpAddress.get(), std::string(63, 'a'));
    EXPECT_EQ(load(dir, "[USRP]\nAddress = " + std::string(64, 'a') + "\n"), 253);
    EXPECT_EQ(load(dir, "[AMBE_AUDIO]\ntxTg = 99999999999999999999\n"), 253);

    EXPECT_EQ(loadConfigFile(("/tmp/" + std::string(130, 'p')).c_str()), 253);
    EXPECT_TRUE(capture.contains("longer than 127 characters"));
}

TEST_F(ConfigFileTest, BinaryGarbageIsAParseErrorNotACrash)
{
    LogCapture capture;
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919 + 13) & 0xff);
    EXPECT_EQ(load(dir, garbage, false), 253);
}

// Every value a key does not take stops start-up with the parse error's
// status, naming file, line, section and key; nothing is read as 0 or false.
TEST_F(ConfigFileTest, ValuesAreStrict)
{
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"AMBE_AUDIO", "gatewayDmrId = N0CALL"},
        {"AMBE_AUDIO", "repeaterID = 1234567O1"},
        {"AMBE_AUDIO", "gatewayDmrId = 16777216"},
        {"AMBE_AUDIO", "repeaterID = -5"},
        {"AMBE_AUDIO", "txTg = 12 34"},
        {"AMBE_AUDIO", "txTs = 256"},
        {"AMBE_AUDIO", "RXPort = 0"},
        {"AMBE_AUDIO", "TXPort = 31003,70000"},
        {"AMBE_AUDIO", "ambeSize = 50"},
        {"AMBE_AUDIO", "ambeMode = WARP"},
        {"AMBE_AUDIO", "minTxTimeMS = 2000ms"},
        {"USRP", "RXPort = 70000"},
        {"USRP", "TXPort = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"},
        {"USRP", "TXPort = ,"},
        {"USRP", "pingTimer = 0"},
        {"USRP", "usrpGain = 1.5x"},
        {"USRP", "tlvGain = nan"},
        {"USRP", "usrpAudio = LOUD"},
        {"USRP", "usrpAgc = -20|10|100|5"},
        {"USRP", "usrpAgc = a|b"},
        {"DV3000", "serial = maybe"},
        {"DV3000", "baud = 115200"},
        {"GENERAL", "decoderFallBack = true  # note"},
        {"GENERAL", "useVox = on"},
        {"GENERAL", "mute = loud"},
        {"GENERAL", "logLevel = 7"},
        {"GENERAL", "logDestination = syslog"},
        {"GENERAL", "PCMPort = 65536"},
    };
    for (const auto& [section, line] : refused) {
        SCOPED_TRACE(line);
        LogCapture capture;
        const std::string key = line.substr(0, line.find(' '));
        const std::string value = line.substr(line.find('=') + 2);
        EXPECT_EQ(load(dir, "[GENERAL]\nmute = OFF\n[" + section + "]\n" + line + "\n"), 253);
        EXPECT_TRUE(capture.has('E', "Invalid value \"" + value + "\" for [" + section + "] " + key + " in \"" +
                                         dir.file("test.ini") + "\" line 4: expected "));
        EXPECT_TRUE(capture.contains("parse error in file \"" + dir.file("test.ini") + "\" line 4."));
    }

    // What operators write keeps its meaning.
    LogCapture capture;
    ASSERT_EQ(load(dir, "[AMBE_AUDIO]\ngatewayDmrId = 16777215\nrepeaterID = 310000101\nRXPort = 1\n"
                        "TXPort = 5,,6,65535\nambeSize = 72\n[DV3000]\nserial = YES\n[GENERAL]\nuseVox = 1\n"
                        "useEmulator = No\nexportMetadata = 0\nmonitorASLAudio = false\nmute = tlv\nPCMPort = 0\n"
                        "[USRP]\nusrpAgc = -20|10\nusrpGain = 2\n",
                   false),
              0);
    EXPECT_EQ(servers.gatewayDmrId, 16777215);
    EXPECT_EQ(servers.repeaterID, 310000101);
    EXPECT_EQ(servers.tlvRxPort, 1);
    EXPECT_EQ(servers.tlvTxPorts.get(), (PortList{5, 6, 65535, 0}));
    EXPECT_EQ(servers.ambeMode.get(), "UNKNOWN");
    EXPECT_TRUE(servers.dv3000Serial);
    EXPECT_TRUE(servers.useVox);
    EXPECT_FALSE(servers.useEmulator);
    EXPECT_EQ(servers.mute, Mute::TLV);
    EXPECT_EQ(servers.usrpAgc.get(), (AgcSettings{false, -20, 10, 0}));
    EXPECT_FLOAT_EQ(servers.usrpGain, 2.0f);

    // A bad value in an included file fails the include line as well.
    const std::string inner = dir.write("inner.ini", "[AMBE_AUDIO]\ntxTg = nine\n");
    EXPECT_EQ(load(dir, "include = " + inner + "\n"), 253);
    EXPECT_TRUE(capture.contains("Invalid value \"nine\" for [AMBE_AUDIO] txTg in \"" + inner + "\" line 2"));
    EXPECT_TRUE(capture.contains("parse error in file \"" + dir.file("test.ini") + "\" line 1."));
}

TEST_F(ConfigFileTest, LogKeysSetDestinationAndThresholds)
{
    LogCapture capture;
    ASSERT_EQ(load(dir, "[GENERAL]\nlogStdoutLevel = 3\nlogFileLevel = 5\nlogDestination = FILE\n"), 0);
    EXPECT_EQ(getLogDestination(), LogDestination::File);
    EXPECT_EQ(getLogLevel(), 5);
    setLogDestination(LogDestination::Both);
    EXPECT_EQ(getLogLevel(), 3);
}

TEST_F(ConfigFileTest, CommentKeysAndNotImplementedKeys)
{
    LogCapture capture;
    ASSERT_EQ(load(dir, "[GENERAL]\nCOMMENT = hello operator\n[USRP]\ntlvAgc = 1\n[ELSEWHERE]\ncomment = x\n"), 0);
    EXPECT_TRUE(capture.has('M', "hello operator"));
    EXPECT_TRUE(capture.has('I', "Command not implemented yet"));
    EXPECT_FALSE(capture.contains("Setting [GENERAL] COMMENT"));
}

TEST_F(ConfigFileTest, MacrosKeepOrderAndVarKeysGoThroughTheShell)
{
    LogCapture capture;
    unsetenv("HALVANE_TEST_VAR");
    ASSERT_EQ(load(dir, "[MACROS]\nVAR HALVANE_TEST_VAR = $(echo expanded)-$((2+3))\n"
                        "*SAY = /usr/local/bin/say\ndial = echo one\ndial = echo two\n"),
              0);
    ASSERT_NE(getenv("HALVANE_TEST_VAR"), nullptr);
    EXPECT_STREQ(getenv("HALVANE_TEST_VAR"), "expanded-5");
    ASSERT_EQ(servers.macros.size(), 3u);
    EXPECT_EQ(servers.macros[0].name, "*SAY");
    EXPECT_EQ(servers.macros[1].command, "echo one");
    EXPECT_EQ(servers.macros[2].command, "echo two");
}

TEST_F(ConfigFileTest, IncludesNestAndRefuseLoops)
{
    LogCapture capture;
    std::string inner = dir.write("inner.ini", "[AMBE_AUDIO]\ntxTg = 4242\n");
    std::string outer = dir.write("outer.ini", "include = " + inner + "\n[USRP]\npingTimer = 3\n");
    std::string self = dir.file("self.ini");
    dir.write("self.ini", "include = " + self + "\n[GENERAL]\nPCMPort = 5\n");
    ASSERT_EQ(load(dir, "include = " + outer + "\ninclude = " + dir.file("absent.ini") + "\ninclude = " + self + "\n"),
              0);
    EXPECT_EQ(servers.txTg, 4242);
    EXPECT_EQ(servers.pingTimer, 3);
    EXPECT_EQ(servers.pcmPort, 5);
    EXPECT_TRUE(capture.has('E', "Include file " + dir.file("absent.ini") + " not found"));
    EXPECT_TRUE(capture.has('E', "an include loop"));

    // After a section header, include is just an unknown key.
    EXPECT_EQ(load(dir, "[GENERAL]\ninclude = " + inner + "\n"), 253);
}

TEST(ConfigParsers, StrictNumbersAndFlags)
{
    EXPECT_EQ(parseWhole("65535", 1, 65535), 65535);
    EXPECT_EQ(parseWhole("-20", -100, 100), -20);
    for (const char* bad : {"", " 1", "1 ", "+1", "0x10", "1e3", "65536", "-1", "12a"})
        EXPECT_FALSE(parseWhole(bad, 0, 65535)) << bad;
    EXPECT_EQ(parseFlag("TRUE"), true);
    EXPECT_EQ(parseFlag("yes"), true);
    EXPECT_EQ(parseFlag("1"), true);
    EXPECT_EQ(parseFlag("False"), false);
    EXPECT_EQ(parseFlag("NO"), false);
    EXPECT_EQ(parseFlag("0"), false);
    for (const char* bad : {"", "on", "off", "2", "true "})
        EXPECT_FALSE(parseFlag(bad)) << bad;
}

TEST(ConfigParsers, PortListsAgcAndModeNames)
{
    LogCapture capture;
    std::string seventeen;
    for (int i = 1; i <= 17; ++i)
        seventeen += std::to_string(1000 + i) + ",";
    EXPECT_FALSE(parsePortList(seventeen.c_str()));
    seventeen.resize(seventeen.rfind(',', seventeen.size() - 2));
    std::optional<PortList> ports = parsePortList(seventeen.c_str());
    ASSERT_TRUE(ports);
    EXPECT_EQ((*ports)[0], 1001);
    EXPECT_EQ((*ports)[15], 1016); // full list: no terminating 0
    EXPECT_EQ(activePorts(*ports).size(), 16u);
    EXPECT_EQ(activePorts(*parsePortList(",5,,6")), (std::vector<int>{5, 6}));
    for (const char* bad : {"0,5", "99999", "5x", "", ",", "-1"})
        EXPECT_FALSE(parsePortList(bad)) << bad;

    EXPECT_EQ(parseAgc("-10|5|200"), (AgcSettings{false, -10, 5, 200}));
    EXPECT_EQ(parseAgc("-10,5"), (AgcSettings{false, -10, 5, 0}));
    EXPECT_EQ(parseAgc(""), (AgcSettings{false, 0, 0, 0}));
    EXPECT_EQ(parseAgc("1||3"), (AgcSettings{false, 1, 0, 3}));

    EXPECT_EQ(parseMute("tlv"), Mute::TLV);
    EXPECT_EQ(parseAudio("Audio_Use_Gain"), AUDIO_USE_GAIN);
    EXPECT_STREQ(muteModeName(3), "BOTH");
    EXPECT_STREQ(audioModeName(2), "AUDIO_USE_AGC");

    int size = -1;
    const char* name = nullptr;
    EXPECT_TRUE(lookupAmbeMode("dstar", size, name));
    EXPECT_EQ(size, 48);
    EXPECT_STREQ(name, "DSTAR");
    EXPECT_TRUE(lookupAmbeMode("ASL", size, name));
    EXPECT_EQ(size, 0);
    EXPECT_FALSE(lookupAmbeMode("D-STAR", size, name));
}

TEST_F(ConfigFileTest, ShippedConfigurationLoadsWithDefaults)
{
    LogCapture capture;
    ASSERT_EQ(loadConfigFile(HALVANE_SOURCE_DIR "/config/halvane.ini"), 0);
    EXPECT_EQ(servers.ambeMode.get(), "DMR");
    EXPECT_EQ(servers.voxDecay, 100);
    EXPECT_EQ(servers.usrpAgc.get(), AgcSettings{});
    EXPECT_FALSE(capture.contains("Unknown section/name"));
}

} // namespace halvane
