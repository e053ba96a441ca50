// Standard output that stops reading, or goes away, costs console lines only:
// the daemon neither dies nor stalls, and the log file goes on.
#include "DaemonFixture.h"
#include "TlvProtocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvane {

namespace {

using namespace std::chrono_literals;

// The daemon's standard output made a FIFO with a reader that never reads.
// Afterwards the path is an ordinary file again, for whoever reads it.
class StdoutPipe {
public:
    explicit StdoutPipe(const Daemon& d) : path_(d.dir.file("stdout"))
    {
        ::unlink(path_.c_str());
        if (::mkfifo(path_.c_str(), 0600) == 0)
            reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~StdoutPipe()
    {
        closeReader();
        ::unlink(path_.c_str());
        std::FILE* file = std::fopen(path_.c_str(), "w");
        if (file != nullptr)
            std::fclose(file);
    }
    StdoutPipe(const StdoutPipe&) = delete;
    StdoutPipe& operator=(const StdoutPipe&) = delete;

    bool ready() const { return reader_ >= 0; }
    void closeReader()
    {
        if (reader_ >= 0)
            ::close(reader_);
        reader_ = -1;
    }

private:
    std::string path_;
    int reader_ = -1;
};

// The partner's command `text` is echoed back within `limit`.
bool answered(TlvPartner& partner, const std::string& text, std::chrono::milliseconds limit = 10s)
{
    if (!partner.sendCommand(text))
        return false;
    return partner
        .receiveMatching([&](const TlvMessage& m) { return m.record && m.record->tag() == TAG_REMOTE_CMD && m.text == text; },
                         limit)
        .has_value();
}

} // namespace

TEST(LoggingE2E, ClosedStdoutNeitherKillsNorStopsTheDaemon)
{
    Daemon d;
    StdoutPipe out(d);
    ASSERT_TRUE(out.ready());
    // Debug lines (never rate-limited) so that every command writes some.
    ASSERT_TRUE(d.startRunning("logLevel = 1\n"));
    TlvPartner partner;
    ASSERT_TRUE(d.connect(partner));
    out.closeReader();

    // Lines queued before the writer met the closed pipe may still be
    // counted as written; later ones are dropped and said so.
    for (int i = 0; i < 100 && !d.hasLog("Standard output is full or closed"); ++i)
        ASSERT_TRUE(answered(partner, i % 2 == 0 ? "txTs=2" : "txTs=1")) << "after " << i << " commands";
    EXPECT_EQ(d.process->wait(0ms), -1) << "the daemon ended";
    EXPECT_TRUE(d.hasLog("Standard output is full or closed"));
    EXPECT_EQ(d.countLines("Standard output is full or closed"), 1);
}

TEST(LoggingE2E, UnreadStdoutDoesNotStallTheBridge)
{
    Daemon d;
    StdoutPipe out(d);
    ASSERT_TRUE(out.ready());
    // Debug lines are not rate-limited: every command the partner sends
    // brings its record and the info record, about 1 kB.
    ASSERT_TRUE(d.startRunning("logLevel = 1\n"));
    TlvPartner partner;
    ASSERT_TRUE(d.connect(partner));

    // Far more than a pipe holds (64 KiB) goes to standard output; each
    // batch ends in a command of its own, answered only when the daemon has
    // taken the whole batch.
    for (int batch = 0; batch < 30; ++batch) {
        for (int i = 0; i < 99; ++i)
            ASSERT_TRUE(partner.sendCommand("txTs=2"));
        ASSERT_TRUE(answered(partner, "txTs=1")) << "batch " << batch;
    }
    EXPECT_TRUE(d.waitForLog("Standard output is full or closed"));
}

} // namespace halvane
