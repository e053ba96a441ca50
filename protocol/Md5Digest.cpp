#include "Md5Digest.h"

#include "Log.h"

#include <openssl/evp.h>

#include <array>

namespace halvane {

struct Md5Digest::Context {
    EVP_MD_CTX* ctx = nullptr;
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Md5Digest::Md5Digest() : context_(std::make_unique<Context>())
{
    context_->ctx = EVP_MD_CTX_new();
    if (context_->ctx != nullptr && EVP_DigestInit_ex(context_->ctx, EVP_md5(), nullptr) != 1)
        context_.reset();
}

Md5Digest::~Md5Digest() = default;

void Md5Digest::update(const void* data, std::size_t size)
{
    if (context_ && size > 0 && EVP_DigestUpdate(context_->ctx, data, size) != 1)
        context_.reset();
}

std::string Md5Digest::finishHex()
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!context_ || context_->ctx == nullptr || EVP_DigestFinal_ex(context_->ctx, digest.data(), &size) != 1) {
        Log(5, "MD5 digest not available from the crypto library\n");
        return {};
    }
    context_.reset();
    static constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hexDigits[digest[i] >> 4];
        text += hexDigits[digest[i] & 0x0F];
    }
    return text;
}

std::string Md5Digest::hex(std::span<const std::uint8_t> bytes)
{
    Md5Digest digest;
    digest.update(bytes.data(), bytes.size());
    return digest.finishHex();
}

} // namespace halvane
