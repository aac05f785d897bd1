#include "platform/sha256.h"

#include <openssl/evp.h>

namespace platform {

struct sha256_state {
    EVP_MD_CTX* ctx;
};

sha256_state* sha256_begin()
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr)
        return nullptr;
    if (EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx);
        return nullptr;
    }
    return new sha256_state{ctx};
}

bool sha256_update(sha256_state* state, const void* data, std::size_t size)
{
    return EVP_DigestUpdate(state->ctx, data, size) == 1;
}

bool sha256_finish(sha256_state* state, unsigned char digest[32])
{
    unsigned int length = 0;
    const bool ok = EVP_DigestFinal_ex(state->ctx, digest, &length) == 1 && length == 32;
    EVP_MD_CTX_free(state->ctx);
    delete state;
    return ok;
}

}  // namespace platform
