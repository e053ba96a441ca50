// Parsers for the values on the tools' command lines, shared by usrp-client
// and tlv-partner so both read numbers, addresses, durations and call
// records the same way. Each returns false with `error` set to a message fit
// for the user, leaving its output untouched.
//
// Thread-safety: pure functions.
#pragma once

#include "CallRecord.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvane {

// A whole decimal number within low..high.
bool parseNumberArgument(std::string_view text, long long low, long long high, long long& value,
                         std::string& error);

// "HOST:PORT", or "PORT" alone (the host stays as it was). Ports 0..65535
// when `allowZero` (a port to bind), else 1..65535.
bool parseEndpointArgument(std::string_view text, bool allowZero, std::string& host, int& port, std::string& error);

// Seconds, whole or decimal ("2", "0.5"), 0 up to one day.
bool parseSecondsArgument(std::string_view text, std::chrono::milliseconds& duration, std::string& error);

// "SRC,RPT,TG,SLOT,CC[,CALL]": source and talk group 0..16777215 (24 bits),
// repeater 0..4294967295, slot and colour code 0..255, then the call text:
// everything after the fifth comma, commas included (a JSON text such as
// {"call":"N0CALL","name":"Ann"} fits), at most 242 characters.
bool parseCallArgument(std::string_view text, CallRecord& call, std::string& error);

// One TLV record in hexadecimal (tag, length, value; blanks allowed); its
// length byte must match the value.
bool parseRecordArgument(std::string_view text, std::vector<std::uint8_t>& record, std::string& error);

} // namespace halvane
