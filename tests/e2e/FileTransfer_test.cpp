// File transfer through the real binary: the client fetches and uploads
// files in the daemon's transfer directory, and usrp-client does the same
// from the command line.
#include "DaemonFixture.h"
#include "FileTransferClient.h"
#include "TlvProtocol.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace halvane {

namespace {

// A registered client of the daemon with a file transfer client on top.
struct Peer {
    UsrpClient usrp;
    FileTransferClient transfer{[this](const TLV_CLASS& record) { return usrp.sendTlv(record); }};

    // Feeds file transfer records to the client until it finishes.
    FileTransferClient::State follow()
    {
        while (!transfer.finished()) {
            auto message = usrp.receiveMatching(
                [](const UsrpMessage& m) { return m.tlv && m.tlv->tag() == TAG_FILE_XFER; }, std::chrono::seconds(5));
            if (!message)
                break;
            transfer.receive(*message->tlv);
        }
        return transfer.state();
    }
};

} // namespace

TEST(FileTransferE2E, DownloadAndUploadThroughTheDaemon)
{
    Daemon d;
    TempDir root;
    std::string content(250, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    root.write("notes.bin", content);
    ASSERT_TRUE(d.startRunning("transferRootDir = " + root.path() + "\n"));

    // Each peer binds the client port in turn.
    {
        Peer peer;
        ASSERT_TRUE(d.connect(peer.usrp, true));
        ASSERT_TRUE(peer.transfer.requestFile("notes.bin"));
        ASSERT_EQ(peer.follow(), FileTransferClient::State::Done) << peer.transfer.error();
        EXPECT_EQ(peer.transfer.dataRecords(), 3);
        EXPECT_EQ(std::string(peer.transfer.content().begin(), peer.transfer.content().end()), content);
    }
    {
        Peer missing;
        ASSERT_TRUE(d.connect(missing.usrp, true));
        ASSERT_TRUE(missing.transfer.requestFile("absent.bin"));
        EXPECT_EQ(missing.follow(), FileTransferClient::State::Failed);
        EXPECT_NE(missing.transfer.error().find("File NOT found"), std::string::npos);
    }
    {
        Peer uploader;
        ASSERT_TRUE(d.connect(uploader.usrp, true));
        std::vector<uint8_t> upload = {'h', 'e', 'l', 'l', 'o'};
        ASSERT_TRUE(uploader.transfer.upload("hello.txt", upload));
        EXPECT_TRUE(eventually([&] { return readFile(root.file("hello.txt")) == "hello"; }));
    }
}

// A download has a thread of its own: a partner's command is answered while
// it is under way (the daemon logs its end only later), and a second request
// meanwhile is refused.
TEST(FileTransferE2E, CommandsFlowDuringADownloadAndASecondIsRefused)
{
    Daemon d;
    TempDir root;
    root.write("big.bin", std::string(120 * 1000, 'x')); // 1000 records, 5 s at least
    ASSERT_TRUE(d.startRunning("transferRootDir = " + root.path() + "\n"));
    TlvPartner partner;
    ASSERT_TRUE(d.connect(partner));
    Peer peer;
    ASSERT_TRUE(d.connect(peer.usrp, true));
    auto nextRecord = [&] {
        auto message = peer.usrp.receiveMatching(
            [](const UsrpMessage& m) { return m.tlv && m.tlv->tag() == TAG_FILE_XFER; }, std::chrono::seconds(5));
        return message ? std::optional<TLV_CLASS>(*message->tlv) : std::nullopt;
    };

    ASSERT_TRUE(peer.transfer.requestFile("big.bin"));
    auto first = nextRecord();
    ASSERT_TRUE(first && first->value()[0] == FILE_XFER_BEGIN);
    ASSERT_TRUE(partner.sendCommand("txTs=2"));
    ASSERT_TRUE(partner.receiveTag(TAG_REMOTE_CMD, std::chrono::seconds(10)));
    EXPECT_FALSE(d.hasLog("File transfer complete"));

    ASSERT_TRUE(peer.usrp.sendTlv(fileRequestRecord("big.bin")));
    bool refused = false;
    int begins = 0;
    for (auto record = nextRecord(); record && record->value()[0] != FILE_XFER_END; record = nextRecord()) {
        refused = refused || (record->value()[0] == FILE_XFER_ERROR && std::string(record->text() + 1) == FILE_XFER_BUSY);
        begins += record->value()[0] == FILE_XFER_BEGIN;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(begins, 0);
}

TEST(FileTransferE2E, UsrpClientGetsAndPutsFiles)
{
    Daemon d;
    TempDir root, work;
    root.write("menu.txt", "one\ntwo\n");
    work.write("up.txt", "uploaded");
    ASSERT_TRUE(d.startRunning("transferRootDir = " + root.path() + "\n"));

    ChildProcess client(std::string(HALVANE_BIN_DIR) + "/usrp-client",
                        {"--to", std::to_string(d.ports.usrpRx), "--bind", std::to_string(d.ports.usrpTx), "--get",
                         "menu.txt", "--put", "up.txt"},
                        work.path(), {}, work.file("client.out"));
    EXPECT_EQ(client.wait(), 0) << readFile(work.file("client.out"));
    EXPECT_EQ(readFile(work.file("menu.txt")), "one\ntwo\n");
    EXPECT_TRUE(eventually([&] { return readFile(root.file("up.txt")) == "uploaded"; }));
}

} // namespace halvane
