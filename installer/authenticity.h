#pragma once
#include <string>

// 1 when the file's Authenticode signature verifies, else 0.
int verify_signature(const std::u16string& path);

// The organisation an installer's signer must name.
extern const char16_t expected_organisation[];

// 1 when the signature verifies and the signer's organisation is exactly "VELQUORA SA".
int verify_publisher(const std::u16string& path);
