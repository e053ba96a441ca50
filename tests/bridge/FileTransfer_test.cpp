#include "FileTransfer.h"

#include "Md5Digest.h"
#include "CUsrpPacket.h"
#include "dv3000_servers.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace halvane {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// One record the transfer sent, taken apart.
struct Sent {
    Bytes record;
    std::uint8_t command() const { return record.at(2); }
    std::size_t length() const { return record.at(1); }
    std::uint32_t size() const
    {
        return (std::uint32_t{record.at(3)} << 24) | (record.at(4) << 16) | (record.at(5) << 8) | record.at(6);
    }
    // Begin name, request or error text: up to the NUL, which must be the last byte.
    std::string text(std::size_t offset) const
    {
        EXPECT_EQ(record.back(), 0);
        return std::string(reinterpret_cast<const char*>(record.data()) + 2 + offset);
    }
    Bytes data() const { return Bytes(record.begin() + 3, record.end()); }
    std::string digest() const { return std::string(record.begin() + 3, record.end()); }
};

class FileTransferTest : public ::testing::Test {
protected:
    void SetUp() override { servers.transferRootDir.set(root.path()); }
    void TearDown() override { servers.transferRootDir.set(savedRoot); }

    void feed(const TLV_CLASS& record) { transfer.tlvFileProtocolHandler(record); }
    void request(std::string_view text)
    {
        feed(fileRequestRecord(text));
        transfer.waitForDownload();
    }
    std::string onlyError()
    {
        EXPECT_EQ(sent.size(), 1u);
        if (sent.empty() || sent[0].command() != FILE_XFER_ERROR)
            return "(no error record)";
        return sent[0].text(1);
    }
    void upload(const std::string& name, const Bytes& content, std::size_t chunk = 120)
    {
        feed(fileBeginRecord(static_cast<std::uint32_t>(content.size()), name));
        std::uint16_t sequence = 0;
        for (std::size_t at = 0; at < content.size(); at += chunk)
            feed(fileUploadRecord(sequence++, std::span(content).subspan(at, std::min(chunk, content.size() - at))));
        feed(fileEndRecord(Md5Digest::hex(content)));
    }

    LogCapture log{1};
    TempDir root;
    const std::string savedRoot = servers.transferRootDir.get();
    std::vector<Sent> sent;
    int pauses = 0;
    FileTransfer transfer{[this](const std::uint8_t* r, std::size_t n) { sent.push_back({Bytes(r, r + n)}); },
                          [this](std::chrono::microseconds) { ++pauses; }};
};

TEST(FileTransferRecords, Md5AndLayouts)
{
    const std::string abc = "abc";
    EXPECT_EQ(Md5Digest::hex(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size())),
              "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5Digest::hex({}), "D41D8CD98F00B204E9800998ECF8427E");

    const TLV_CLASS begin = fileBeginRecord(0x01020304, "a.txt");
    EXPECT_EQ(Bytes(begin.data(), begin.data() + begin.size()),
              (Bytes{TAG_FILE_XFER, 11, 0, 1, 2, 3, 4, 'a', '.', 't', 'x', 't', 0}));
    const Bytes chunk = {9, 8};
    const TLV_CLASS data = fileUploadRecord(0x1234, chunk);
    EXPECT_EQ(Bytes(data.data(), data.data() + data.size()), (Bytes{TAG_FILE_XFER, 5, 1, 0x12, 0x34, 9, 8}));
    EXPECT_EQ(fileErrorRecord("x").size(), 5u); // length = text + 2

    // Whatever is cut, a text keeps its NUL and every record fits the
    // 352-byte USRP packet that carries it.
    const TLV_CLASS longest = fileBeginRecord(1, std::string(400, 'n'));
    EXPECT_EQ(longest.length(), 255);
    EXPECT_EQ(longest.value()[254], 0);
    EXPECT_EQ(CUsrpPacket::text(7, USRP_TYPE_TLV, longest.data(), longest.size()).size(), USRP_PACKET_SIZE);
}

TEST_F(FileTransferTest, DownloadIsBeginDataOf120AndEndWithTheFileMd5)
{
    const Bytes content = randomBytes(250, 1);
    const std::string path = root.write("notes.bin", std::string(content.begin(), content.end()));

    // Only the last component counts in the transfer directory.
    for (const char* name : {"notes.bin", "a/b/notes.bin", "/home/x/notes.bin"}) {
        SCOPED_TRACE(name);
        sent.clear();
        pauses = 0;
        request(name);
        ASSERT_EQ(sent.size(), 5u);
        EXPECT_EQ(sent[0].command(), FILE_XFER_BEGIN);
        EXPECT_EQ(sent[0].size(), 250u);
        EXPECT_EQ(sent[0].text(5), path);
        EXPECT_EQ(sent[0].length(), 6 + path.size());
        Bytes joined;
        for (int i = 1; i <= 3; ++i) {
            EXPECT_EQ(sent[i].command(), FILE_XFER_DATA);
            const Bytes part(sent[i].record.begin() + 3, sent[i].record.end());
            joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_EQ(sent[1].length(), 121u);
        EXPECT_EQ(sent[2].length(), 121u);
        EXPECT_EQ(sent[3].length(), 11u);
        EXPECT_EQ(joined, content);
        EXPECT_EQ(sent[4].command(), FILE_XFER_END);
        EXPECT_EQ(sent[4].length(), 33u);
        EXPECT_EQ(sent[4].digest(), Md5Digest::hex(content));
        EXPECT_EQ(pauses, 3);
    }

    // An empty file: begin of size 0, no data, the digest of nothing.
    sent.clear();
    root.write("empty", "");
    request("empty");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), 0u);
    EXPECT_EQ(sent[1].digest(), "D41D8CD98F00B204E9800998ECF8427E");
}

// A download runs on a thread of its own: the decode thread refuses a second
// request while the first is under way, and destroying the transfer stops a
// download between two records.
TEST_F(FileTransferTest, OneDownloadAtATimeOnAThreadOfItsOwn)
{
    root.write("big.bin", std::string(100 * 1024, 'b'));
    std::mutex mutex;
    std::vector<Sent> records;
    auto sink = [&](const std::uint8_t* r, std::size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back({Bytes(r, r + n)});
    };
    auto commands = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<int> result;
        for (const Sent& record : records)
            result.push_back(record.command());
        return result;
    };
    std::atomic_bool released{false};
    {
        FileTransfer held{sink, [&](std::chrono::microseconds) {
                              while (!released)
                                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          }};
        held.tlvFileProtocolHandler(fileRequestRecord("big.bin"));
        held.tlvFileProtocolHandler(fileRequestRecord("big.bin"));
        const std::vector<int> early = commands();
        released = true;
        held.waitForDownload();
        EXPECT_EQ(std::count(early.begin(), early.end(), FILE_XFER_ERROR), 1);
        EXPECT_EQ(std::count(early.begin(), early.end(), FILE_XFER_END), 0);
        const std::vector<int> all = commands();
        EXPECT_EQ(std::count(all.begin(), all.end(), FILE_XFER_DATA), 854);
        EXPECT_EQ(all.back(), FILE_XFER_END);
        EXPECT_TRUE(log.contains("Transfer already in progress"));
    }
    records.clear();
    {
        FileTransfer paced{sink}; // the real clock: about 4 s for the file
        paced.tlvFileProtocolHandler(fileRequestRecord("big.bin"));
    }
    EXPECT_NE(commands().back(), FILE_XFER_END);
    EXPECT_TRUE(log.contains("stopped at shutdown"));
}

TEST_F(FileTransferTest, UrlAndUnlimited)
{
    request("http://example.org/a/b?c=%s");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].command(), FILE_XFER_BEGIN);
    EXPECT_EQ(sent[0].size(), 0u);
    EXPECT_EQ(sent[0].text(5), "http://example.org/a/b?c=%s");

    // "unlimited": the absolute path is opened as it is, and an upload lands there too.
    TempDir elsewhere;
    const std::string path = elsewhere.write("deep.txt", "far away");
    servers.transferRootDir.set("unlimited");
    sent.clear();
    request(path);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].text(5), path);
    EXPECT_EQ(sent[1].data(), (Bytes{'f', 'a', 'r', ' ', 'a', 'w', 'a', 'y'}));
    const Bytes content = {'u', 'p'};
    upload(elsewhere.file("up.txt"), content);
    EXPECT_EQ(readFile(elsewhere.file("up.txt")), "up");

    // A file longer than its size says (a /proc file claims 0 bytes) is
    // sent as announced, so that size, data and digest agree.
    sent.clear();
    request("/proc/self/status");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].size(), 0u);
    EXPECT_EQ(sent[1].digest(), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST_F(FileTransferTest, RequestsThatFindNothing)
{
    std::filesystem::create_directory(root.file("dir"));
    ASSERT_EQ(::mkfifo(root.file("fifo").c_str(), 0600), 0);
    TempDir outside;
    outside.write("secret", "s");
    std::filesystem::create_symlink(outside.file("secret"), root.file("link"));

    // Missing, a directory, a FIFO (which must not hang), and a link out of the directory.
    for (const char* name : {"missing.txt", "dir", "fifo", "link"}) {
        SCOPED_TRACE(name);
        sent.clear();
        request(name);
        EXPECT_EQ(onlyError(), "File NOT found");
    }
}

TEST_F(FileTransferTest, NamesThatWouldLeaveTheDirectoryAreRefused)
{
    for (const char* name : {"", ".", "..", "dir/", "../etc/passwd", "a/../b", "/etc/..", "../../x", "x/.."}) {
        SCOPED_TRACE(name);
        sent.clear();
        request(name);
        EXPECT_EQ(onlyError(), "Invalid file name");
        sent.clear();
        feed(fileBeginRecord(1, name));
        EXPECT_EQ(onlyError(), "Invalid file name");
        EXPECT_FALSE(transfer.uploading());
    }
    std::string path;
    EXPECT_EQ(FileTransfer::tlvFileNameTranslate("..a/b..", "/r", path), FileTransfer::NameCheck::Ok);
    EXPECT_EQ(path, "/r/b..");
    EXPECT_EQ(FileTransfer::tlvFileNameTranslate("../x", "unlimited", path), FileTransfer::NameCheck::Ok);
    EXPECT_EQ(FileTransfer::tlvFileNameTranslate("/tmp/", "unlimited", path), FileTransfer::NameCheck::Invalid);
    EXPECT_EQ(FileTransfer::tlvFileNameTranslate("/..", "unlimited", path), FileTransfer::NameCheck::Invalid);

    // 127 characters is the most for a request and for the translated path.
    sent.clear();
    request(std::string(128, 'a'));
    EXPECT_EQ(onlyError(), "Name too long");
    const std::string fits(127 - root.path().size() - 1, 'b');
    EXPECT_EQ(FileTransfer::tlvFileNameTranslate(fits, root.path(), path), FileTransfer::NameCheck::Ok);
    EXPECT_EQ(path.size(), 127u);
    sent.clear();
    feed(fileBeginRecord(1, fits + "b"));
    EXPECT_EQ(onlyError(), "Name too long");
}

TEST_F(FileTransferTest, UploadTakesSequenceNumbersInOrder)
{
    const Bytes content = randomBytes(300, 2);
    const std::span<const std::uint8_t> all(content);
    feed(fileBeginRecord(300, "sub/up.bin"));
    feed(fileUploadRecord(0, all.subspan(0, 120)));
    feed(fileUploadRecord(1, all.subspan(120, 120)));
    feed(fileUploadRecord(1, all.subspan(0, 120))); // a repeat: not stored
    feed(fileUploadRecord(2, all.subspan(240, 60)));
    feed(fileEndRecord(Md5Digest::hex(content)));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(readFile(root.file("up.bin")), std::string(content.begin(), content.end()));
    EXPECT_FALSE(transfer.uploading());

    // A chunk is cut at the announced size.
    feed(fileBeginRecord(5, "cut"));
    feed(fileUploadRecord(0, all.subspan(0, 10)));
    feed(fileEndRecord(Md5Digest::hex(all.subspan(0, 5))));
    EXPECT_EQ(readFile(root.file("cut")), std::string(content.begin(), content.begin() + 5));
}

TEST_F(FileTransferTest, SequenceNumbersWrapPast65535)
{
    setLogLevel(3); // one debug line per record would be 65 537 lines
    const Bytes content = randomBytes(65537, 3);
    upload("many", content, 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(readFile(root.file("many")), std::string(content.begin(), content.end()));
}

TEST_F(FileTransferTest, FailedUploadsWriteNothing)
{
    const Bytes content = randomBytes(200, 4);
    feed(fileBeginRecord(200, "bad.bin"));
    feed(fileUploadRecord(0, content));
    feed(fileEndRecord(Md5Digest::hex(Bytes(200, 0))));
    EXPECT_EQ(onlyError(), "MD5 does not match");
    EXPECT_FALSE(std::filesystem::exists(root.file("bad.bin")));

    // Too large: refused, and the upload that follows is logged once.
    sent.clear();
    feed(fileBeginRecord(FILE_XFER_MAX_SIZE + 1, "huge"));
    EXPECT_EQ(onlyError(), "File too large");
    for (std::uint16_t s = 0; s < 5; ++s)
        feed(fileUploadRecord(s, content));
    feed(fileEndRecord(Md5Digest::hex(content)));
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(root.file("huge")));
    EXPECT_EQ(log.count("No file upload in progress"), 1);
    feed(fileBeginRecord(FILE_XFER_MAX_SIZE, "huge"));
    EXPECT_TRUE(transfer.uploading());

    // A target that cannot be created, or is a link out of the directory.
    TempDir outside;
    const std::string target = outside.write("target", "keep");
    std::filesystem::create_symlink(target, root.file("link"));
    sent.clear();
    upload("link", content);
    EXPECT_EQ(onlyError(), "File NOT created");
    EXPECT_EQ(readFile(target), "keep");
    servers.transferRootDir.set(root.file("no-such-dir"));
    sent.clear();
    upload("x", content);
    EXPECT_EQ(onlyError(), "File NOT created");
    EXPECT_FALSE(transfer.uploading());
}

TEST_F(FileTransferTest, ErrorTextsAreDataNotFormats)
{
    feed(fileErrorRecord("100%s %n %d done"));
    EXPECT_TRUE(log.has('I', "100%s %n %d done"));
    transfer.tlvFileError("%s%n");
    EXPECT_TRUE(log.has('I', "%s%n"));
    EXPECT_EQ(onlyError(), "%s%n");
}

// Every sub-command at every length, with and without NULs: under
// AddressSanitizer nothing may be read past the record.
TEST_F(FileTransferTest, HostileRecordsStayInBounds)
{
    setLogLevel(5); // thousands of refusals
    for (std::uint8_t command = 0; command <= 5; ++command) {
        for (std::size_t length = 0; length <= TLV_MAX_VALUE; ++length) {
            for (std::uint8_t fill : {std::uint8_t{'A'}, std::uint8_t{0}, std::uint8_t{0xFF}}) {
                Bytes value(length, fill);
                if (length > 0)
                    value[0] = command;
                if (command == FILE_XFER_DATA || command == FILE_XFER_END)
                    feed(fileBeginRecord(100, "h")); // so that they are parsed, not dropped
                feed(TLV_CLASS(TAG_FILE_XFER, value));
            }
        }
    }
    // A request without a NUL that fills the value: too long, not a read past it.
    sent.clear();
    Bytes value(TLV_MAX_VALUE, 'r');
    value[0] = FILE_XFER_REQUEST;
    feed(TLV_CLASS(TAG_FILE_XFER, value));
    EXPECT_EQ(onlyError(), "Name too long");
}

} // namespace

} // namespace halvane
