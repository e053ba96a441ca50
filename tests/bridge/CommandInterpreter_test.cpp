// The parts of the command interpreter that need no running bridge: the
// call record a USRP client sends, and the arguments of the commands. The
// commands themselves are driven through the real binary (tests/e2e).
#include "CommandInterpreter.h"

#include "CallRecord.h"
#include "CommandArguments.h"
#include "LogCapture.h"
#include "SubscriberDatabase.h"
#include "TempDir.h"
#include "TlvProtocol.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace halvane {

namespace {

// A client's call record as it lies in a text packet's payload area: the
// record, then zeros up to 320 bytes.
std::vector<std::uint8_t> payloadOf(const CallRecord& call)
{
    TLV_CLASS record = makeCallRecord(TAG_SET_INFO, call);
    std::vector<std::uint8_t> payload(record.data(), record.data() + record.size());
    payload.resize(320, 0);
    return payload;
}

CallRecord callOf(std::uint32_t source, std::uint32_t repeater, std::string text)
{
    return CallRecord{source, repeater, 91, 1, 1, std::move(text)};
}

class ClientCallRecord : public ::testing::Test {
protected:
    ClientCallRecord()
    {
        servers.gatewayDmrId = 3100001;
        servers.repeaterID = 3100002;
        servers.txTg = 0;
        servers.txTs = 0;
        servers.colorCode = 0;
        const std::string path = dir.write("subscribers.csv", "3100001,GW1CALL,Gate\n3100555,N0CALL,Nina\n");
        servers.subscriberFile.set(path);
        db.loadSubscriberMap(path.c_str());
    }
    ~ClientCallRecord() override
    {
        servers.gatewayDmrId = saved_[0];
        servers.repeaterID = saved_[1];
        servers.txTg = saved_[2];
        servers.txTs = saved_[3];
        servers.colorCode = saved_[4];
        servers.subscriberFile.set(savedFile_);
    }

    std::optional<CallRecord> resolve(const CallRecord& call)
    {
        const std::vector<std::uint8_t> payload = payloadOf(call);
        return CommandInterpreter::clientCallRecord(payload, servers, db);
    }

    LogCapture log{3};
    TempDir dir;
    SubscriberDatabase db{[] { return std::uint32_t{1000}; }};

private:
    int saved_[5] = {servers.gatewayDmrId, servers.repeaterID, servers.txTg, servers.txTs, servers.colorCode};
    std::string savedFile_ = servers.subscriberFile.get();
};

} // namespace

TEST_F(ClientCallRecord, MissingIdentityIsTakenFromSettingsAndSubscribers)
{
    // Source 0 with a known call sign: the call sign's ID.
    auto call = resolve(callOf(0, 0, "N0CALL"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->source, 3100555u);
    EXPECT_EQ(call->repeater, 3100002u);
    EXPECT_EQ(call->call, "N0CALL");
    EXPECT_EQ(call->destination, 91u) << "no txTg set: the client's talk group stays";

    // Source 0 with an unknown call sign: the gateway.
    call = resolve(callOf(0, 7, "UNKNOWN"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->source, 3100001u);
    EXPECT_EQ(call->repeater, 3100002u) << "the repeater is always ours";

    // No call sign: looked up from the source, but a bare number is not one.
    call = resolve(callOf(3100555, 0, ""));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->call, "N0CALL");
    call = resolve(callOf(1234567, 0, ""));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->call, "");

    // A JSON call text counts by its call key; without the key it is empty.
    call = resolve(callOf(0, 0, "{\"call\":\"N0CALL\",\"name\":\"Nina\"}"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->source, 3100555u);
    EXPECT_EQ(call->call, "N0CALL");
    call = resolve(callOf(0, 0, "{\"name\":\"x\"}"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->call, "GW1CALL");

    // The settings, once set, override the client's choice.
    servers.txTg = 3100;
    servers.txTs = 2;
    servers.colorCode = 7;
    call = resolve(callOf(3100555, 0, "X"));
    ASSERT_TRUE(call);
    EXPECT_EQ(call->destination, 3100u);
    EXPECT_EQ(call->slot, 2u);
    EXPECT_EQ(call->colorCode, 7u);
}

// The process used to end here; now only the record goes.
TEST_F(ClientCallRecord, SourceEqualToRepeaterIsDroppedNotFatal)
{
    EXPECT_FALSE(resolve(callOf(4242, 4242, "X")));
    EXPECT_TRUE(log.has('E', "Repeater ID (4242) can not be the same as subscriber ID (4242)."));
    // Equal only once the repeater is ours.
    EXPECT_FALSE(resolve(callOf(3100002, 99, "X")));
    EXPECT_TRUE(log.has('E', "Repeater ID (3100002) can not be the same as subscriber ID (3100002)."));
}

TEST(CommandArguments, NumbersAsBase10ReadsThem)
{
    EXPECT_EQ(talkGroupOf("3100"), 3100);
    EXPECT_EQ(talkGroupOf("9!3100"), 3100);
    EXPECT_EQ(talkGroupOf("9!3100!5"), 3100);
    EXPECT_EQ(talkGroupOf("abc"), 0);
    EXPECT_EQ(talkGroupOf("99999999999"), 2147483647);

    int status = -1;
    int code = -1;
    EXPECT_FALSE(parseExitArguments("", status, code));
    EXPECT_FALSE(parseExitArguments("now", status, code));
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(parseExitArguments("7 3", status, code));
    EXPECT_EQ(status, 7);
    EXPECT_EQ(code, 3);
    EXPECT_TRUE(parseExitArguments("5", status, code));
    EXPECT_EQ(status, 5);
    EXPECT_EQ(code, 0);
}

TEST(CommandArguments, ListsFromTextOrFile)
{
    TempDir dir;
    const std::string& in = dir.path();
    dir.write("open", "x\ny");
    dir.write("nul", std::string("a\nb\0c\n", 6));
    dir.write("empty", "");
    EXPECT_EQ(buildMacroList("INFO:MACRO:", "open", in), "INFO:MACRO:x|y");
    EXPECT_EQ(buildMacroList("INFO:MACRO:", "empty", in), "INFO:MACRO:");
    EXPECT_EQ(buildMacroList("INFO:MACRO:", "nul", in), "INFO:MACRO:a|b");
    EXPECT_EQ(buildMacroList("INFO:MENU:", "a,b", in), "INFO:MENU:a,b");
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "missing", in));
    // A list file named by a peer is read only when every user may read it.
    const std::string secret = dir.write("secret", "root:hash\n");
    chmod(secret.c_str(), 0600);
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "secret", in));
}

// Only the last component of the name counts, inside the list directory:
// system files, the process's memory map and links out are not lists.
TEST(CommandArguments, ListFilesStayInTheirDirectory)
{
    TempDir dir;
    TempDir elsewhere;
    const std::string& in = dir.path();
    const std::string outside = elsewhere.write("open", "secret\n");
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "/etc/passwd", in));
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "/proc/self/maps", in));
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", outside.c_str(), in));
    dir.write("open", "x\n");
    EXPECT_EQ(buildMacroList("INFO:MACRO:", outside.c_str(), in), "INFO:MACRO:x") << "the name inside is read";
    for (const char* bad : {"../open", "", ".", "..", "sub/.."})
        EXPECT_FALSE(buildMacroList("INFO:MACRO:", bad, in)) << bad;
    ASSERT_EQ(symlink("/etc/passwd", dir.file("link").c_str()), 0);
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "link", in));
    mkdir(dir.file("sub").c_str(), 0755);
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "sub", in)) << "a directory";
    EXPECT_FALSE(buildMacroList("INFO:MACRO:", "/dev/zero", "unlimited"))
        << "a device would fill the list with NULs for ever";
}

TEST(CommandArguments, ListsAreCutToTheirBuffer)
{
    TempDir dir;
    std::string lines;
    for (int i = 0; i < 300; ++i)
        lines += "line" + std::to_string(i) + "\n";
    dir.write("long", lines);
    auto list = buildMacroList("INFO:MACRO:", "long", dir.path());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->size(), MACRO_LIST_MAX);
    EXPECT_EQ(list->rfind("INFO:MACRO:line0|line1|", 0), 0u);

    const std::string many = std::string(2000, ',');
    list = buildMacroList("INFO:MENU:", many.c_str(), dir.path());
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, "INFO:MENU:" + std::string(MACRO_LIST_MAX - 10, ','));
}

} // namespace halvane
