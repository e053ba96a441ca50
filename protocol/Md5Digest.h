// MD5 over data that arrives in pieces, as the file transfer sub-protocol
// checks every file: the digest travels as 32 uppercase hexadecimal
// characters. The work is done by OpenSSL's libcrypto.
//
// Ownership: owns its digest context. Not copyable.
// Thread-safety: none; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace halvane {

class Md5Digest {
public:
    Md5Digest();
    ~Md5Digest();
    Md5Digest(const Md5Digest&) = delete;
    Md5Digest& operator=(const Md5Digest&) = delete;

    void update(const void* data, std::size_t size);
    // The digest of everything given so far, as 32 uppercase hexadecimal
    // characters; empty, with a log line, when the library cannot make an
    // MD5 digest (a build without MD5, or a FIPS-only configuration).
    std::string finishHex();

    // The digest of `bytes` in one call.
    static std::string hex(std::span<const std::uint8_t> bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

} // namespace halvane
