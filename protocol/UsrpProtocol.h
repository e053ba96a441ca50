// Constants of the USRP packet protocol spoken with the PCM audio peer (an
// AllStarLink node or any other USRP client): header layout, packet types,
// datagram sizes, the codec selection of outgoing voice and the registration
// texts. The wire format is written up in docs/usrp-protocol.md.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halvane {

// Header: eight 32-bit fields. `seq` and `keyup` are big-endian; `type` is
// little-endian (the byte order of the hosts that defined the protocol).
constexpr char USRP_MAGIC[4] = {'U', 'S', 'R', 'P'};
constexpr std::size_t USRP_OFFSET_MAGIC = 0;
constexpr std::size_t USRP_OFFSET_SEQ = 4;
constexpr std::size_t USRP_OFFSET_MEMORY = 8;
constexpr std::size_t USRP_OFFSET_KEYUP = 12;
constexpr std::size_t USRP_OFFSET_TALKGROUP = 16;
constexpr std::size_t USRP_OFFSET_TYPE = 20;
constexpr std::size_t USRP_OFFSET_MPXID = 24;
constexpr std::size_t USRP_OFFSET_RESERVED = 28;
constexpr std::size_t USRP_HEADER_SIZE = 32;

// The full packet: header and a payload area of 320 bytes (one 20 ms block
// of linear PCM). Every packet is built in, and every datagram read into, a
// zero-filled buffer of this size, so absent fields read as zero.
constexpr std::size_t USRP_PACKET_SIZE = 352;
constexpr std::size_t USRP_PAYLOAD_SIZE = USRP_PACKET_SIZE - USRP_HEADER_SIZE;

// Reads use one byte more than the largest packet: a datagram that fills it
// was longer than any packet, which a reader that cuts at 352 could not tell.
constexpr std::size_t USRP_RECEIVE_SIZE = USRP_PACKET_SIZE + 1;

// The largest payload of one IPv4 UDP datagram; longer text packets are refused.
constexpr std::size_t USRP_MAX_DATAGRAM = 65507;

enum UsrpType : int {
    USRP_TYPE_VOICE = 0,       // 160 samples of 16-bit little-endian PCM
    USRP_TYPE_DTMF = 1,        // dialled digits, NUL-terminated
    USRP_TYPE_TEXT = 2,        // text or a call record (metadata)
    USRP_TYPE_PING = 3,        // "PING" and NUL
    USRP_TYPE_TLV = 4,         // one TLV record
    USRP_TYPE_VOICE_ADPCM = 5, // 80 bytes of IMA ADPCM
    USRP_TYPE_VOICE_ULAW = 6,  // 160 bytes of G.711 mu-law
};

// One 20 ms voice block at 8000 Hz.
constexpr std::size_t USRP_VOICE_SAMPLES = 160;
constexpr std::size_t USRP_VOICE_BYTES = USRP_VOICE_SAMPLES * 2;
constexpr std::size_t USRP_ADPCM_BYTES = USRP_VOICE_SAMPLES / 2;
constexpr std::size_t USRP_ULAW_BYTES = USRP_VOICE_SAMPLES;

// Datagram sizes of outgoing voice: a linear unkey is the bare header; an
// unkey in the other codecs carries encoded silence and has the keyed size.
constexpr std::size_t USRP_UNKEY_SIZE = USRP_HEADER_SIZE;
constexpr std::size_t USRP_ADPCM_SIZE = USRP_HEADER_SIZE + USRP_ADPCM_BYTES; // 112
constexpr std::size_t USRP_ULAW_SIZE = USRP_HEADER_SIZE + USRP_ULAW_BYTES;   // 192

// Codec of outgoing voice (`usrpCodec`, chosen by the "codec=" command).
constexpr int USRP_CODEC_SLIN = 0;
constexpr int USRP_CODEC_ULAW = 1;
constexpr int USRP_CODEC_ADPCM = 2;

// Registration and keep-alive texts (type 2 and type 3 payloads).
constexpr const char* USRP_REG_PREFIX = "REG:";
constexpr const char* USRP_REG_CLIENT = "QUILLNET"; // "REG:QUILLNET" registers
constexpr const char* USRP_REG_UNREG = "UNREG";     // "REG:UNREG" unregisters
constexpr const char* USRP_REG_OK = "REG:OK";
constexpr const char* USRP_REG_UNREG_TEXT = "REG:UNREG";
constexpr const char* USRP_PING_TEXT = "PING";

} // namespace halvane
