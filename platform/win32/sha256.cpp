#include "platform/sha256.h"

#include <windows.h>
#include <bcrypt.h>

namespace platform {

struct sha256_state {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
};

sha256_state* sha256_begin()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        return nullptr;
    }
    return new sha256_state{algorithm, hash};
}

bool sha256_update(sha256_state* state, const void* data, std::size_t size)
{
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state->hash, bytes, piece, 0)))
            return false;
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool sha256_finish(sha256_state* state, unsigned char digest[32])
{
    const bool ok = BCRYPT_SUCCESS(BCryptFinishHash(state->hash, digest, 32, 0));
    BCryptDestroyHash(state->hash);
    BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
    return ok;
}

}  // namespace platform
