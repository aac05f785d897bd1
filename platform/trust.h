#pragma once
// Authenticode checks of installer packages.
#include <cstddef>
#include <string>

namespace platform {

// True when the file's Authenticode signature verifies and its signer chains to a
// trusted root (no revocation checks, never any user interface).
bool trust_verify_file(const std::u16string& path);

// Writes the signer certificate's subject organisation (OID 2.5.4.10) into `buffer`
// as NUL-terminated UTF-16, cut to `units` - 1 code units; empty when the certificate
// has none. False when the signer certificate cannot be obtained.
bool trust_signer_organisation(const std::u16string& path, char16_t* buffer, std::size_t units);

// Whether the signature carries a time stamp (an RFC 3161 or an Authenticode
// counter-signature in the signer's unsigned attributes), and the signer certificate's
// last day of validity as "YYYY-MM-DD" (UTC). Without a time stamp the signature stops
// verifying that day. False when the signature cannot be read.
bool trust_signature_timing(const std::u16string& path, bool& time_stamped, std::string& signer_expiry);

// Makes the roots in the PEM file `bundle` the only ones this process trusts, for
// signatures and for TLS. False where the roots are the system's alone (Windows: the
// machine's Root store).
bool trust_only_roots(const std::string& bundle);

}  // namespace platform
