#pragma once
// The Windows error numbers the program reports, named once. The Windows backend gets
// them from the system; the POSIX stand-ins give the same numbers for the same faults,
// so logs read alike everywhere. Names are the SDK's, in lower case.
#include <cstdint>

namespace platform {

constexpr uint32_t error_invalid_function = 1;
constexpr uint32_t error_file_not_found = 2;
constexpr uint32_t error_access_denied = 5;
constexpr uint32_t error_not_enough_memory = 8;
constexpr uint32_t error_bad_exe_format = 193;
constexpr uint32_t error_filename_exced_range = 206;

// WinINet's.
constexpr uint32_t error_internet_timeout = 12002;
constexpr uint32_t error_internet_internal_error = 12004;
constexpr uint32_t error_internet_invalid_url = 12005;
constexpr uint32_t error_internet_unrecognized_scheme = 12006;
constexpr uint32_t error_internet_name_not_resolved = 12007;
constexpr uint32_t error_internet_cannot_connect = 12029;
constexpr uint32_t error_internet_connection_aborted = 12030;
constexpr uint32_t error_internet_connection_reset = 12031;
constexpr uint32_t error_internet_sec_cert_date_invalid = 12037;
constexpr uint32_t error_internet_sec_cert_cn_invalid = 12038;
constexpr uint32_t error_internet_https_to_http_on_redir = 12040;
constexpr uint32_t error_internet_invalid_ca = 12045;
constexpr uint32_t error_http_invalid_server_response = 12152;
constexpr uint32_t error_http_redirect_failed = 12156;
// MinGW's wininet.h has no macro for it (WinHTTP calls it ERROR_WINHTTP_SECURE_FAILURE).
constexpr uint32_t error_internet_security_failure = 12175;

}  // namespace platform
