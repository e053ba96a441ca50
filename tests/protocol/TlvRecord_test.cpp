#include "CallRecord.h"
#include "TLV_CLASS.h"
#include "TlvDatagram.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace halvane {

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const TLV_CLASS& record)
{
    return Bytes(record.data(), record.data() + record.size());
}

// Source 0x123456, repeater 0x89ABCDEF, talk group 3000, slot 2, colour code 7.
Bytes callRecordBytes(std::uint8_t length, const std::string& text)
{
    const Bytes fixed = {TAG_BEGIN_TX, length, 0x12, 0x34, 0x56, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x0B, 0xB8, 2, 7};
    Bytes bytes(fixed.size() + text.size());
    std::copy(fixed.begin(), fixed.end(), bytes.begin());
    std::copy(text.begin(), text.end(), bytes.begin() + fixed.size());
    return bytes;
}

TEST(TlvRecord, RecordsAndTheirText)
{
    // A command sent without a NUL still reads as exactly `length` characters.
    const Bytes command = {TAG_REMOTE_CMD, 9, 't', 'x', 'T', 'g', '=', '3', '1', '0', '0'};
    auto record = acceptTlvDatagram(command, "h", 1);
    ASSERT_TRUE(record);
    EXPECT_STREQ(record->text(), "txTg=3100");
    EXPECT_EQ(bytesOf(*record), command);
    EXPECT_EQ(bytesOf(TLV_CLASS(TAG_REMOTE_CMD, std::string_view("txTg=3100"))), command);

    auto wakeup = acceptTlvDatagram(Bytes{TAG_WAKEUP, 0}, "h", 1);
    ASSERT_TRUE(wakeup);
    EXPECT_STREQ(wakeup->text(), "");

    const std::string tooLong(300, 'v'); // more than the length byte can count
    EXPECT_EQ(std::strlen(TLV_CLASS(TAG_EVENT, std::string_view(tooLong)).text()), 255u);

    // From a USRP payload area: value bytes past the area read as zero.
    auto fromUsrp = TLV_CLASS::fromRecord(Bytes{TAG_EVENT, 200, 'a', 'b', 'c'});
    EXPECT_EQ(fromUsrp->length(), 200);
    EXPECT_STREQ(fromUsrp->text(), "abc");
    EXPECT_TRUE(std::all_of(fromUsrp->value() + 3, fromUsrp->value() + 200, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(TLV_CLASS::fromRecord({})->size(), 2u);
}

TEST(TlvRecord, DatagramLengthMustMatch)
{
    LogCapture log(4);
    Bytes ambe(29, 0);
    ambe[0] = TAG_AMBE_72;
    ambe[1] = 28;
    EXPECT_FALSE(acceptTlvDatagram(ambe, "127.0.0.1", 31103));
    EXPECT_EQ(log.count("TLV length does not match UDP/serial bytes received (got 29 and tlv says 28)\n"), 1);
    ambe.push_back(0);
    EXPECT_TRUE(acceptTlvDatagram(ambe, "127.0.0.1", 31103));
    EXPECT_FALSE(acceptTlvDatagram(Bytes{TAG_WAKEUP}, "127.0.0.1", 31103));
    EXPECT_EQ(log.count("(got 1 and tlv says -1)"), 1);
    EXPECT_EQ(log.count("Port configuration error"), 0);

    Bytes usrp(352, 0);
    std::memcpy(usrp.data(), "USRP", 4);
    EXPECT_FALSE(acceptTlvDatagram(usrp, "10.1.2.3", 34001));
    EXPECT_EQ(log.count("(got 352 and tlv says 83)\n"), 1); // 'S'
    EXPECT_EQ(log.count("Port configuration error, just got a USRP packet on host:port 10.1.2.3:34001\n"), 1);
}

// Random datagrams of every size the receive loop reads: accepted exactly
// when the length byte agrees, then copied whole with a NUL after.
TEST(TlvRecord, HostileDatagramsOfEverySize)
{
    LogCapture log(5); // the refusals are not under test here
    std::mt19937 random(257);
    for (std::size_t size = 0; size <= TLV_RECEIVE_SIZE; ++size) {
        for (int variant = 0; variant < 4; ++variant) {
            Bytes datagram(size);
            for (std::uint8_t& byte : datagram)
                byte = static_cast<std::uint8_t>(random() | 1); // no NUL inside
            if (variant == 0 && size >= 2)
                datagram[1] = static_cast<std::uint8_t>(size - 2);
            auto record = acceptTlvDatagram(datagram, "h", 1);
            ASSERT_EQ(record != nullptr, size >= 2 && size - 2 <= 255 && datagram[1] == size - 2) << size;
            if (record) {
                ASSERT_EQ(std::strlen(record->text()), size - 2);
            }
        }
    }
}

TEST(CallRecord, BuildByteForByte)
{
    CallRecord call{0xFF123456, 0x89ABCDEF, 3000, 2, 7, "N0CALL"}; // 24 bits of source travel
    Bytes expected = callRecordBytes(6 + 13, "N0CALL");
    expected.push_back(0);
    EXPECT_EQ(bytesOf(makeCallRecord(TAG_BEGIN_TX, call)), expected);
    call.call = std::string("AB\0CD", 5); // the text ends at its NUL
    EXPECT_EQ(makeCallRecord(TAG_SET_INFO, call).length(), 2 + 13);

    // A text the length byte cannot count is cut, keeping its NUL.
    LogCapture log(4);
    call.call = "{\"call\":\"N0CALL\",\"name\":\"" + std::string(400, 'n') + "\"}";
    const TLV_CLASS cut = makeCallRecord(TAG_SET_INFO, call);
    EXPECT_EQ(cut.length(), 255);
    EXPECT_EQ(cut.value()[254], 0);
    EXPECT_EQ(parseCallRecord(cut).call, "N0CALL");
    EXPECT_EQ(log.count("cut to 242"), 1);
}

TEST(CallRecord, Parse)
{
    Bytes bytes = callRecordBytes(6 + 13, "N0CALL");
    bytes.push_back(0);
    const CallRecord call = parseCallRecord(bytes);
    EXPECT_EQ(call.source, 0x123456u);
    EXPECT_EQ(call.repeater, 0x89ABCDEFu);
    EXPECT_EQ(call.destination, 3000u);
    EXPECT_EQ(call.slot, 2);
    EXPECT_EQ(call.colorCode, 7);
    EXPECT_EQ(call.call, "N0CALL");
    EXPECT_EQ(parseCallRecord(callRecordBytes(12 + 4, "W1AWXYZ")).call, "W1AW"); // no NUL: ends at length
    EXPECT_EQ(parseCallRecord(callRecordBytes(255, "K1ABC")).call, "K1ABC");     // ends with the bytes there
    EXPECT_EQ(parseCallRecord(callRecordBytes(12, "W1AW")).call, "");            // length 12: no text

    // Records of length 0..12, ending where their length says: no text, and
    // fields the value does not reach read as zero.
    for (int length = 0; length <= 12; ++length) {
        Bytes record = callRecordBytes(static_cast<std::uint8_t>(length), "");
        record.resize(2 + length);
        const CallRecord short_ = parseCallRecord(record);
        EXPECT_EQ(short_.call, "") << length;
        EXPECT_EQ(short_.source, length >= 3 ? 0x123456u : length == 2 ? 0x123400u : length == 1 ? 0x120000u : 0u);
        EXPECT_EQ(short_.colorCode, length == 12 ? 7 : 0) << length;
    }
}

TEST(CallRecord, JsonCallKey)
{
    EXPECT_EQ(callFromText("{\"call\":\"N0CALL\",\"name\":\"Bob\"}"), "N0CALL");
    EXPECT_EQ(callFromText("{\"name\":\"Bob\",\"call\":\"K1ABC\"}"), "K1ABC");
    EXPECT_EQ(callFromText("{\"name\":\"Bob\"}"), "");      // no key: empty call
    EXPECT_EQ(callFromText("{\"call\":\"N0CALL"), "N0CALL"); // no closing quote: to the end
    EXPECT_EQ(callFromText("{\"call\":"), "");              // nothing after the key
    EXPECT_EQ(callFromText("W1AW"), "W1AW");
    EXPECT_EQ(parseCallRecord(callRecordBytes(255, "{\"name\":\"x\"}")).call, "");

    // Random records around the JSON edges: the parser stays inside them.
    std::mt19937 random(13);
    const std::string texts[] = {"{\"call\":", "{\"call\":\"", "{\"call\":\"AB", "{", "X"};
    for (std::size_t size = 0; size <= 300; ++size) {
        for (const std::string& text : texts) {
            Bytes record(size);
            for (std::uint8_t& byte : record)
                byte = static_cast<std::uint8_t>(random() | 1);
            if (size > 14)
                std::memcpy(record.data() + 14, text.data(), std::min(text.size(), size - 14));
            ASSERT_LE(parseCallRecord(record).call.size(), CALL_TEXT_MAX + 1);
        }
    }
}

} // namespace

} // namespace halvane
