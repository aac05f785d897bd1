#pragma once
// The test PKI and packages of tests/fixtures/make_fixtures.sh, their digests, and
// packages signed on demand under the test CA.
#include <string>

// The build's fixtures directory, which one CTest set-up fills once per run; a program
// run alone without it makes its own on first use (a few seconds), removed at its exit.
// Throws std::runtime_error with the script's output if that fails.
const std::string& fixtures_dir();
std::string fixture(const std::string& name);

// Lower-case hex SHA-256 of a file's bytes (OpenSSL); throws for a file it cannot read.
std::string sha256_of(const std::string& path);

// Issues a code-signing certificate under the fixture root whose O holds `organisation`
// byte for byte (the openssl command line cannot write a NUL into a name), and signs
// fixture unsigned.msi with it into `out_msi`; the key pair is left in `work`.
bool sign_with_organisation(const std::string& work, const std::string& organisation,
                            const std::string& out_msi);
