#include "Platform/Net/Sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace platform {

struct Sha256::Context {
    EVP_MD_CTX* md = nullptr;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    context_->md = EVP_MD_CTX_new();
    if (!context_->md || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_->md);
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_->md); }

void Sha256::update(const void* data, size_t size) {
    if (size > 0) EVP_DigestUpdate(context_->md, data, size);
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->md, digest, &length);
    std::string text;
    text.reserve(length * 2);
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

std::string Sha256::hex(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

}  // namespace platform
