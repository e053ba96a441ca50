// The check every datagram read from the TLV port passes before it is queued.
//
// Thread-safety: no state; callable from any thread.
#pragma once

#include "TLV_CLASS.h"

#include <cstdint>
#include <memory>
#include <span>

namespace halvane {

// The record of a datagram from the partner, ready to push on the queue; or
// null when its length byte disagrees with its size. A refused datagram is
// logged at level 4 with both numbers ("tlv says -1" when it is too short to
// have a length byte), with a second line naming `address`:`port` when it is
// a USRP packet (a port set up for the wrong peer), and hex-dumped at the
// debug level.
std::unique_ptr<TLV_CLASS> acceptTlvDatagram(std::span<const std::uint8_t> datagram, const char* address, int port);

} // namespace halvane
