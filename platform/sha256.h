#pragma once
// Incremental SHA-256 from the system's cryptography (CNG on Windows, OpenSSL elsewhere).
#include <cstddef>

namespace platform {

struct sha256_state;

sha256_state* sha256_begin();  // null when the provider is unavailable
bool sha256_update(sha256_state* state, const void* data, std::size_t size);
// Writes the 32-byte digest and frees the state (also on failure).
bool sha256_finish(sha256_state* state, unsigned char digest[32]);

}  // namespace platform
