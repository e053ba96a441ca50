#include "FileTransferClient.h"

#include "Md5Digest.h"
#include "FileTransfer.h"
#include "dv3000_servers.h"

#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <tuple>
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

// A client and Halvane's side of the protocol in one process. The server
// answers synchronously; its records wait in `toClient` until deliver(),
// which may lose or damage one of them on the way.
class FileTransferRoundTrip : public ::testing::Test {
protected:
    void SetUp() override { servers.transferRootDir.set(root.path()); }
    void TearDown() override { servers.transferRootDir.set(savedRoot); }

    void deliver(const std::function<void(std::size_t index, Bytes& record)>& mangle = {})
    {
        server.waitForDownload();
        for (std::size_t i = 0; i < toClient.size(); ++i) {
            Bytes record = toClient[i];
            if (mangle)
                mangle(i, record);
            if (!record.empty())
                client.receive(*TLV_CLASS::fromDatagram(record));
        }
        toClient.clear();
    }

    LogCapture log{3};
    TempDir root;
    const std::string savedRoot = servers.transferRootDir.get();
    std::vector<Bytes> toClient;
    std::vector<Bytes> toServer; // as the client sent them
    std::function<bool(std::size_t)> loseToServer = [](std::size_t) { return false; };
    int pauses = 0;
    FileTransfer server{[this](const std::uint8_t* r, std::size_t n) { toClient.emplace_back(r, r + n); },
                        [](std::chrono::microseconds) {}};
    FileTransferClient client{[this](const TLV_CLASS& record) {
                                  toServer.emplace_back(record.data(), record.data() + record.size());
                                  if (!loseToServer(toServer.size() - 1))
                                      server.tlvFileProtocolHandler(record);
                                  return true;
                              },
                              [this](std::chrono::microseconds) { ++pauses; }};
};

TEST_F(FileTransferRoundTrip, Download)
{
    const Bytes content = randomBytes(1000, 1);
    root.write("get.bin", std::string(content.begin(), content.end()));

    ASSERT_TRUE(client.requestFile("get.bin"));
    EXPECT_EQ(client.state(), FileTransferClient::State::Requested);
    deliver();
    EXPECT_EQ(client.state(), FileTransferClient::State::Done) << client.error();
    EXPECT_EQ(client.content(), content);
    EXPECT_EQ(client.remoteName(), root.file("get.bin"));
    EXPECT_EQ(client.dataRecords(), 9);
    EXPECT_FALSE(client.isUrl());

    // An empty file, a URL, a missing file.
    root.write("empty", "");
    for (const auto& [name, state, url, error] :
         {std::tuple{"empty", FileTransferClient::State::Done, false, ""},
          {"https://example.org/x", FileTransferClient::State::Done, true, ""},
          {"missing", FileTransferClient::State::Failed, false, "File NOT found"}}) {
        client.requestFile(name);
        deliver();
        EXPECT_EQ(client.state(), state) << name;
        EXPECT_EQ(client.isUrl(), url) << name;
        EXPECT_EQ(client.error(), error) << name;
        if (url) {
            EXPECT_EQ(client.remoteName(), name);
        }
    }
}

TEST_F(FileTransferRoundTrip, DamagedDownloadsFail)
{
    const Bytes content = randomBytes(500, 2);
    root.write("get.bin", std::string(content.begin(), content.end()));

    client.requestFile("get.bin"); // a data record lost
    deliver([](std::size_t i, Bytes& record) { if (i == 2) record.clear(); });
    EXPECT_EQ(client.state(), FileTransferClient::State::Failed);
    EXPECT_EQ(client.error(), "Received 380 of 500 bytes");

    client.requestFile("get.bin"); // a byte changed on the way
    deliver([](std::size_t i, Bytes& record) { if (i == 3) record[10] ^= 1; });
    EXPECT_EQ(client.error(), "MD5 does not match");

    client.requestFile("get.bin"); // the begin lost
    deliver([](std::size_t i, Bytes& record) { if (i == 0) record.clear(); });
    EXPECT_EQ(client.error(), "Data before the begin record");
}

TEST_F(FileTransferRoundTrip, Upload)
{
    const Bytes content = randomBytes(1000, 3);
    ASSERT_TRUE(client.upload("local/dir/put.bin", content, FILE_XFER_UPLOAD_CHUNK_MAX));
    EXPECT_EQ(client.state(), FileTransferClient::State::Uploaded);
    deliver();
    EXPECT_EQ(client.state(), FileTransferClient::State::Uploaded); // no news is good news
    EXPECT_EQ(readFile(root.file("put.bin")), std::string(content.begin(), content.end()));

    // What went out: begin, four data records numbered 0..3, end; a pause after all but the end.
    ASSERT_EQ(toServer.size(), 6u);
    EXPECT_EQ(toServer[0][2], FILE_XFER_BEGIN);
    for (std::size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(toServer[i][2], FILE_XFER_DATA);
        EXPECT_EQ((toServer[i][3] << 8) | toServer[i][4], static_cast<int>(i - 1));
    }
    EXPECT_EQ(toServer[4][1], 3 + 1000 - 3 * 252);
    EXPECT_EQ(toServer[5][2], FILE_XFER_END);
    EXPECT_EQ(pauses, 5);

    // A data record lost on the way: Halvane refuses the file and says so.
    loseToServer = [](std::size_t i) { return i == 8; };
    ASSERT_TRUE(client.upload("lossy.bin", content));
    deliver();
    EXPECT_EQ(client.state(), FileTransferClient::State::Failed);
    EXPECT_EQ(client.error(), "MD5 does not match");
    EXPECT_FALSE(std::filesystem::exists(root.file("lossy.bin")));

    // Refused before anything is sent.
    toServer.clear();
    EXPECT_FALSE(client.upload("", content));
    EXPECT_FALSE(client.upload(std::string(128, 'n'), content));
    EXPECT_EQ(client.error(), "Name too long");
    EXPECT_TRUE(toServer.empty());
}

} // namespace

} // namespace halvane
