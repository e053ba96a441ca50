#include "SubscriberDatabase.h"

#include "LogCapture.h"
#include "TempDir.h"
#include "TlvProtocol.h"
#include "dv3000_servers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace halvane {

namespace {

constexpr std::uint32_t DAY = SubscriberDatabase::MAX_AGE_MS;

// A database on an injected clock, with the log captured and the configured
// subscriber file restored afterwards.
class SubscriberDatabaseFile : public ::testing::Test {
protected:
    ~SubscriberDatabaseFile() override { servers.subscriberFile.set(savedPath_); }

    std::string write(const std::string& text, const std::string& name = "subscribers.csv")
    {
        return dir.write(name, text);
    }

    // Loads `text` as the configured subscriber file.
    void load(const std::string& text)
    {
        const std::string path = write(text);
        servers.subscriberFile.set(path);
        db.loadSubscriberMap(path.c_str());
    }

    LogCapture log{3};
    TempDir dir;
    std::atomic<std::uint32_t> now{1000};
    SubscriberDatabase db{[this] { return now.load(); }};

private:
    std::string savedPath_ = servers.subscriberFile.get();
};

TEST_F(SubscriberDatabaseFile, FieldsFollowTheFileRules)
{
    load(",,1001,,K1ABC,,Alice,Extra\n"
         "1002,W2XYZ\n"
         "1003,VE3ABC,Bob\r\n"
         "Radio_ID,Callsign,Name\n"
         "1004\n"
         "1,AAA,Alpha\n"
         "1,BBB,Bravo\n"
         "2,CCC,Charlie\n"
         "3,CCC,Other");

    EXPECT_EQ(db.findSubscriber(1001u), "K1ABC");
    EXPECT_EQ(db.findSubscriberName("K1ABC"), "Alice");
    // A call sign that ends its line keeps the line feed; a name keeps the CR.
    EXPECT_EQ(db.findSubscriber("W2XYZ"), 0u);
    EXPECT_EQ(db.findSubscriber("W2XYZ\n"), 1002u);
    EXPECT_EQ(db.findSubscriberName("VE3ABC"), "Bob\r");
    EXPECT_EQ(db.findSubscriber(0u), "Callsign");
    EXPECT_EQ(db.findSubscriber(1004u), "1004");
    EXPECT_EQ(db.findSubscriber(4000000000u), "-294967296"); // "%d"
    // Later lines replace IDs and call signs; the first name stays.
    EXPECT_EQ(db.findSubscriber(1u), "BBB");
    EXPECT_EQ(db.findSubscriber("AAA"), 1u);
    EXPECT_EQ(db.findSubscriber("BBB"), 1u);
    EXPECT_EQ(db.findSubscriber("CCC"), 3u);
    EXPECT_EQ(db.findSubscriberName("CCC"), "Charlie");
    EXPECT_EQ(db.findSubscriber("ccc"), 0u);
    EXPECT_TRUE(log.has('I', "Subscriber IDs loaded: 7"));
}

TEST_F(SubscriberDatabaseFile, LoadAddsAndReloadReplaces)
{
    db.loadSubscriberMap(write("1,AAA,Alpha\n2,BBB,Bravo\n", "one.csv").c_str());
    const std::string second = write("2,ZZZ,Zulu\n3,AAA,Again\n", "two.csv");
    db.loadSubscriberMap(second.c_str());
    EXPECT_EQ(db.findSubscriber(1u), "AAA");
    EXPECT_EQ(db.findSubscriber(2u), "ZZZ");
    EXPECT_EQ(db.findSubscriber("AAA"), 3u);
    EXPECT_EQ(db.findSubscriberName("AAA"), "Alpha");

    // A missing file leaves an additive load's tables alone...
    db.loadSubscriberMap(dir.file("missing.csv").c_str());
    EXPECT_TRUE(log.has('I', "Subscriber IDs file \"" + dir.file("missing.csv") + "\" not found."));
    EXPECT_EQ(db.subscriberCount(), 3u);

    servers.subscriberFile.set(second);
    db.reloadSubscriberMap();
    EXPECT_TRUE(log.has('I', "Reload subscriber database files"));
    EXPECT_EQ(db.findSubscriber(1u), "1");
    EXPECT_EQ(db.findSubscriberName("AAA"), "Again");

    // ...but a reload from a missing file empties them.
    servers.subscriberFile.set(dir.file("missing.csv"));
    db.reloadSubscriberMap();
    EXPECT_EQ(db.subscriberCount(), 0u);
}

TEST_F(SubscriberDatabaseFile, OverLongLinesAreSkippedWholeAndNulEndsALine)
{
    const std::string longest = "7," + std::string(2045, 'X') + "\n";         // 2047 characters
    const std::string tooLong = "8," + std::string(2046, 'Y') + "\n";         // 2048 characters
    const std::string huge = "5," + std::string(200000, 'Z') + ",6000,TAIL,Name\n";
    load(longest + tooLong + huge + "11,NEXT,Name\n" + std::string("12,NUL\0HIDDEN,Name\n", 19) +
         std::string(3000, 'Q'));

    EXPECT_EQ(db.findSubscriber(7u), std::string(2045, 'X') + "\n");
    EXPECT_EQ(db.findSubscriber(8u), "8");
    EXPECT_EQ(db.findSubscriber(5u), "5");
    // No piece of an over-long line becomes a record of its own.
    EXPECT_EQ(db.findSubscriber(0u), "0");
    EXPECT_EQ(db.findSubscriber("6000"), 0u);
    EXPECT_EQ(db.findSubscriber(11u), "NEXT");
    EXPECT_EQ(db.findSubscriber(12u), "NUL");
    EXPECT_EQ(db.subscriberCount(), 3u);
    EXPECT_TRUE(log.has('W', "3 lines longer than 2047 characters skipped"));
}

// Hostile bytes load without reading past a line (the sanitizer builds check).
TEST_F(SubscriberDatabaseFile, BinaryGarbageLoadsSafely)
{
    std::mt19937 rng(2701);
    const std::string alphabet = std::string(",,,,\n\n\0\r 0123456789", 19) + "\xff\x80\xc3" "Ab-";
    std::string garbage;
    for (int i = 0; i < 1'000'000; ++i)
        garbage.push_back(rng() % 64 == 0 ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()]);
    load(garbage);
    EXPECT_GT(db.subscriberCount(), 1000u);
    EXPECT_EQ(db.findSubscriberName("no such call"), "");
}

TEST_F(SubscriberDatabaseFile, WrapOfTheMillisecondCountNeitherStormsNorStalls)
{
    const std::uint32_t loaded = 0xFFFFFFFFu - 999;
    now = loaded;
    load("1,AAA,Alpha\n");
    write("1,BBB,Bravo\n");
    now = loaded + 500;
    EXPECT_EQ(db.findSubscriberName("AAA"), "Alpha");
    now = loaded + DAY; // wrapped past 0
    EXPECT_EQ(db.findSubscriberName("AAA"), "Alpha");
    now = loaded + DAY + 1;
    EXPECT_EQ(db.findSubscriberName("AAA"), "");
    EXPECT_EQ(db.findSubscriberName("BBB"), "Bravo");
}

TEST_F(SubscriberDatabaseFile, MissingFileIsRetriedADayLater)
{
    const std::string path = dir.file("late.csv");
    servers.subscriberFile.set(path);
    db.loadSubscriberMap(path.c_str());
    EXPECT_TRUE(log.has('I', "Subscriber IDs file \"" + path + "\" not found."));
    EXPECT_EQ(db.subscriberLoadTime(), 1000u);

    write("42,LATE,Comer\n", "late.csv");
    now = 1000 + DAY;
    EXPECT_EQ(db.findSubscriber("LATE"), 0u);
    now = 1000 + DAY + 1;
    EXPECT_EQ(db.findSubscriber("LATE"), 42u);
}

TEST_F(SubscriberDatabaseFile, DefaultMetadataIsTheGatewayCallOrAWarning)
{
    load("3120001,GW1ABC,Gate\n");
    EXPECT_EQ(db.buildDefaultMetadata(3120001), "GW1ABC");
    EXPECT_TRUE(log.has('I', "Default extended metadata <GW1ABC>"));
    EXPECT_EQ(db.buildDefaultMetadata(999), "999");
    EXPECT_TRUE(log.has('W', "Your gatewayDmrId 999 is NOT in the subscriber file.  Please correct this."));
}

TEST_F(SubscriberDatabaseFile, ExtendedMetadataStaysClosedWithinARecord)
{
    EXPECT_EQ(SubscriberDatabase::extendedMetadata("ASL", ""), "{\"call\":\"ASL\",\"name\":\"\"}");

    std::string accents;
    for (int i = 0; i < 300; ++i)
        accents += "\xc3\xa9"; // é
    const std::string cut = SubscriberDatabase::extendedMetadata("K1AB", accents);
    EXPECT_EQ(cut.size(), CALL_TEXT_MAX - 1) << "a character was split";
    EXPECT_EQ(cut.rfind("{\"call\":\"K1AB\",\"name\":\"\xc3\xa9", 0), 0u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\xc3\xa9\"}");

    // A long name from the file still gives a whole record.
    load("9,LONG," + std::string(2000, 'N') + "\n");
    CallRecord call;
    call.source = 9;
    const TLV_CLASS record = db.callMetadataRecord(call, true);
    EXPECT_EQ(record.length(), CALL_TEXT_MAX + 13);
    EXPECT_EQ(std::string(record.text() + CALL_OFFSET_TEXT).substr(CALL_TEXT_MAX - 2), "\"}");
}

TEST_F(SubscriberDatabaseFile, ReloadsNeverDisturbLookupsOnOtherThreads)
{
    constexpr unsigned COUNT = 3000;
    std::string a;
    std::string b;
    for (unsigned i = 1; i <= COUNT; ++i) {
        a += std::to_string(i) + ",A" + std::to_string(i) + ",NameA" + std::to_string(i) + "\n";
        b += std::to_string(i) + ",B" + std::to_string(i) + ",NameB" + std::to_string(i) + "\n";
    }
    const std::string fileA = write(a, "a.csv");
    const std::string fileB = write(b, "b.csv");
    servers.subscriberFile.set(fileA);
    db.loadSubscriberMap(fileA.c_str());

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (unsigned seed = 0; seed < 4; ++seed) {
        threads.emplace_back([&, seed] {
            std::mt19937 rng(seed);
            while (!stop.load()) {
                const unsigned id = 1 + rng() % COUNT;
                const std::string n = std::to_string(id);
                const std::string call = db.findSubscriber(id);
                const std::string name = db.findSubscriberName(call.c_str());
                const unsigned back = db.findSubscriber(call.c_str());
                if ((call != "A" + n && call != "B" + n) || (name != "Name" + call && !name.empty()) ||
                    (back != id && back != 0))
                    ++bad;
            }
        });
    }
    // Age-check reloads, started by the readers.
    threads.emplace_back([&] {
        while (!stop.load()) {
            now += DAY + 1;
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 60; ++i) {
        servers.subscriberFile.set(i % 2 == 0 ? fileB : fileA);
        db.reloadSubscriberMap();
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(SubscriberDatabaseFile, ExpiredTablesAreReloadedOnceWhateverTheNumberOfThreads)
{
    // Big enough that the threads arrive while the first reload is running.
    std::string text;
    for (int i = 1; i <= 50000; ++i)
        text += std::to_string(i) + ",CALL" + std::to_string(i) + ",Name\n";
    load(text);
    const int loadsBefore = log.count("Subscriber IDs loaded");
    now = 1000 + DAY + 1;

    constexpr int THREADS = 8;
    std::latch start(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < 200; ++i)
                db.findSubscriber(1u);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(log.count("Subscriber IDs loaded") - loadsBefore, 1);
}

} // namespace

} // namespace halvane
