// Runs the real Halvane binary for one test: a temporary directory with the
// ini file and the log, ports reserved for this test process alone for every
// endpoint (freeUdpPort), and helpers to wait for log lines. A daemon that
// printed a sanitizer report fails the test that started it.
#pragma once

#include "ChildProcess.h"
#include "Dv3000Simulator.h"
#include "TempDir.h"
#include "TlvPartner.h"
#include "UdpSocket.h"
#include "UsrpClient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

namespace halvane {

struct DaemonPorts {
    int tlvRx = freeUdpPort();    // Halvane reads the partner here
    int tlvTx = freeUdpPort();    // the partner listens here
    int usrpRx = freeUdpPort();   // Halvane reads the USRP client here
    int usrpTx = freeUdpPort();   // the USRP client listens here
    int dv3000 = freeUdpPort();   // the AMBE server, usually absent
};

class Daemon {
public:
    Daemon() = default;
    ~Daemon()
    {
        process.reset();
        if (const std::string report = sanitizerReport(readFile(dir.file("stdout"))); !report.empty())
            ADD_FAILURE() << "Halvane printed a sanitizer report:\n" << report;
        // The info record the daemon wrote for its USRP port.
        std::remove(infoPath().c_str());
    }
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // The ini text with the ports filled in; `extra` is appended per section
    // by the caller (sections may repeat keys: later lines win).
    std::string ini(const std::string& general = "", const std::string& ambe = "", const std::string& usrp = "",
                    const std::string& dv3000 = "") const
    {
        return "[AMBE_AUDIO]\ngatewayDmrId = 3100001\nrepeaterID = 3100002\nRXPort = " + std::to_string(ports.tlvRx) +
               "\nTXPort = " + std::to_string(ports.tlvTx) + "\n" + ambe + "[USRP]\nRXPort = " +
               std::to_string(ports.usrpRx) + "\nTXPort = " + std::to_string(ports.usrpTx) + "\n" + usrp +
               "[DV3000]\nRXPort = " + std::to_string(ports.dv3000) + "\n" + dv3000 + "[GENERAL]\nsubscriberFile = " +
               dir.file("subscribers.csv") + "\n" + general;
    }

    // `env` adds variables to the program's environment.
    void start(const std::string& iniText, std::vector<std::pair<std::string, std::string>> env = {})
    {
        dir.write("halvane.ini", iniText);
        env.emplace_back("HalvaneLogDir", dir.path());
        process = std::make_unique<ChildProcess>(std::string(HALVANE_BIN_DIR) + "/Halvane",
                                                 std::vector<std::string>{"halvane.ini"}, dir.path(), env,
                                                 dir.file("stdout"), console);
    }

    // Starts with the software vocoder (no DV3000 needed) and waits until
    // both loops run.
    bool startRunning(const std::string& general = "", const std::string& ambe = "", const std::string& usrp = "")
    {
        start(ini("decoderFallBack = true\n" + general, ambe, usrp));
        return waitForLog("Starting TLV --> Halvane (decoder) --> USRP thread") &&
               waitForLog("Starting USRP --> Halvane (encoder) -> TLV thread");
    }

    // The info record the daemon writes for its USRP port, outside its directory.
    std::string infoPath() const { return "/tmp/HVInfo_" + std::to_string(ports.usrpRx) + ".json"; }

    // A partner on the TLV ports, or a client on the USRP ports (registered
    // and answered when asked), from `host`.
    bool connect(TlvPartner& partner, const std::string& host = "127.0.0.1") const
    {
        std::string error;
        const bool ok = partner.open({host, host == "127.0.0.1" ? ports.tlvTx : 0, "127.0.0.1", ports.tlvRx}, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    bool connect(UsrpClient& client, bool registered = false, const std::string& host = "127.0.0.1") const
    {
        std::string error;
        const bool ok = client.open({host, ports.usrpTx, "127.0.0.1", ports.usrpRx}, error);
        EXPECT_TRUE(ok) << error;
        return ok && (!registered || (client.registerClient() &&
                                      client.receiveText("REG:OK", std::chrono::seconds(10)).has_value()));
    }

    // The DV3000 simulator started on UDP at this daemon's chip port.
    std::unique_ptr<Dv3000Simulator> chipOnUdp() const
    {
        Dv3000Simulator::Options options;
        options.udp = true;
        options.udpPort = ports.dv3000;
        auto simulator = std::make_unique<Dv3000Simulator>(options);
        std::string error;
        const bool ok = simulator->start(error);
        EXPECT_TRUE(ok) << error;
        return ok ? std::move(simulator) : nullptr;
    }

    std::string log() const { return readFile(dir.file("Halvane.log")); }
    bool hasLog(const std::string& text) const { return log().find(text) != std::string::npos; }
    // Lines of the log that hold `fragment`.
    int countLines(const std::string& fragment) const
    {
        std::istringstream in(log());
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find(fragment) != std::string::npos;
        return n;
    }
    bool waitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20)) const
    {
        return eventually([&] { return hasLog(text); }, limit);
    }

    TempDir dir;
    DaemonPorts ports;
    // Standard input of the daemon when not empty: a terminal becomes its
    // console (ChildProcess).
    std::string console;
    std::unique_ptr<ChildProcess> process;
};

} // namespace halvane
