#pragma once
// HTTP(S) client with the life cycle of WinINet: open a session, open a URL (connect,
// send the GET, receive the response headers), read the body in pieces, close.
// Error numbers are WinINet's (platform/common/win_errors.h names them)
// on every platform, so logs read the same everywhere.
#include <cstdint>
#include <string>

namespace platform {

struct http_session;
struct http_request;

http_session* http_open(const char* user_agent, uint32_t& error);

// `headers`: one NUL-terminated header line. `secure` forces TLS whatever the scheme.
// A proxy that refused the request itself leaves its status in `proxy_status` (else 0):
// 407, wanting credentials, whatever the scheme, or on POSIX the status of a refused
// CONNECT (with the error number in `error`).
http_request* http_open_url(http_session* session, const std::string& url, const char* headers, bool secure,
                            uint32_t& error, uint32_t& proxy_status);

// Reads at most `size` bytes of the body. True with `bytes_read` 0 means the body is complete.
bool http_read(http_request* request, char* buffer, uint32_t size, uint32_t& bytes_read, uint32_t& error);

// What answered, for a caller that reports on the server: the status, one header's value
// ("" when absent) and the URL that gave the answer (another than asked after redirects).
uint32_t http_status(http_request* request);
std::string http_header(http_request* request, const char* name);
std::string http_answering_url(http_request* request);

void http_close(http_request* request);
void http_close(http_session* session);

// Whether the server of an https `url` completes a TLS handshake when the client offers
// TLS 1.2 at most, as Windows before 11 and Server 2022 do. A session of its own, the
// certificate checked as for a request. False when the stack cannot be held to TLS 1.2
// (`error` says why); else `completed`, and a failed handshake's error in `error`.
bool http_tls12_handshake(const std::string& url, bool& completed, uint32_t& error);

// Seconds a connection attempt may take and a transfer may go without receiving anything.
// WinINet keeps its own defaults; the POSIX client uses this (60 unless changed).
void http_set_timeout_seconds(long seconds);

}  // namespace platform
