// HTTP client with WinINet's shape on top of libcurl's multi interface: the body is
// pulled piece by piece by the caller, so memory stays bounded whatever its size.
#include "platform/http.h"

#include "platform/common/win_errors.h"
#include "platform/posix/environment.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

namespace platform {

namespace {

// Enough for a redirect chain a real server uses; a loop must end.
constexpr int max_redirects = 10;
// Body bytes held between two reads of the caller, beyond one network chunk.
constexpr std::size_t pending_limit = 64 * 1024;

std::atomic<long> timeout_seconds{60};

void global_init()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

struct http_session {
    std::string user_agent;
};

struct http_request {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string pending;
    std::size_t pending_pos = 0;
    bool paused = false;
    bool headers_done = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    char error_text[CURL_ERROR_SIZE] = {};
    // When the network last delivered anything (or the caller last let it).
    std::chrono::steady_clock::time_point last_received;
    long stall_seconds = 60;
    std::string answering_url;
};

namespace {

// Told apart by OpenSSL's verification code, as WinINet tells them apart.
uint32_t certificate_error(http_request* request)
{
    long verify = X509_V_OK;
    curl_easy_getinfo(request->easy, CURLINFO_SSL_VERIFYRESULT, &verify);
    switch (verify) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return error_internet_sec_cert_date_invalid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
        return error_internet_sec_cert_cn_invalid;
    case X509_V_OK:
    case X509_V_ERR_UNSPECIFIED:
        // curl compares the host name itself, before it records the chain's code (left
        // "unspecified"): only its message tells a mismatch ("... subject name ...
        // matches target host name ...") from other failures.
        if (std::strstr(request->error_text, "subject") != nullptr ||
            std::strstr(request->error_text, "name") != nullptr)
            return error_internet_sec_cert_cn_invalid;
        return error_internet_invalid_ca;
    default:
        return error_internet_invalid_ca;
    }
}

uint32_t map_error(http_request* request)
{
    long os_errno = 0;
    curl_easy_getinfo(request->easy, CURLINFO_OS_ERRNO, &os_errno);
    switch (request->result) {
    case CURLE_OUT_OF_MEMORY:
        return error_not_enough_memory;
    case CURLE_URL_MALFORMAT:
        return error_internet_invalid_url;
    case CURLE_UNSUPPORTED_PROTOCOL:
        return error_internet_unrecognized_scheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return error_internet_name_not_resolved;
    case CURLE_COULDNT_CONNECT:
        return error_internet_cannot_connect;
    case CURLE_OPERATION_TIMEDOUT:
        return error_internet_timeout;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
        return error_http_invalid_server_response;
    case CURLE_PARTIAL_FILE:
        return error_internet_connection_aborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        // Over TLS, curl's close_notify on the dead socket overwrites the OS error
        // (EPIPE); the error text keeps the first failure.
        return os_errno == ECONNRESET || std::strstr(request->error_text, "Connection reset") != nullptr
                   ? error_internet_connection_reset
                   : error_internet_connection_aborted;
    case CURLE_PEER_FAILED_VERIFICATION:
        return certificate_error(request);
    case CURLE_SSL_CACERT_BADFILE:
        return error_internet_invalid_ca;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
        return error_internet_security_failure;
    default:
        return error_internet_internal_error;
    }
}

size_t on_header(char* data, size_t size, size_t count, void* user)
{
    auto* request = static_cast<http_request*>(user);
    const size_t length = size * count;
    request->last_received = std::chrono::steady_clock::now();
    if (length <= 2 && (length == 0 || data[0] == '\r' || data[0] == '\n')) {
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        // Interim 1xx answers are followed by the real one; a block without a status of
        // the server's (a proxy's CONNECT answer) is not the answer either.
        if (status >= 200)
            request->headers_done = true;
    }
    return length;
}

size_t on_body(char* data, size_t size, size_t count, void* user)
{
    auto* request = static_cast<http_request*>(user);
    const size_t length = size * count;
    request->last_received = std::chrono::steady_clock::now();
    if (request->pending_pos > 0) {
        request->pending.erase(0, request->pending_pos);
        request->pending_pos = 0;
    }
    if (!request->pending.empty() && request->pending.size() + length > pending_limit) {
        request->paused = true;
        return CURL_WRITEFUNC_PAUSE;  // curl keeps the chunk and offers it again
    }
    request->pending.append(data, length);
    return length;
}

void destroy(http_request* request)
{
    if (request->multi != nullptr && request->easy != nullptr)
        curl_multi_remove_handle(request->multi, request->easy);
    if (request->easy != nullptr)
        curl_easy_cleanup(request->easy);
    if (request->multi != nullptr)
        curl_multi_cleanup(request->multi);
    curl_slist_free_all(request->headers);
    delete request;
}

// The server's certificate is checked as for every request.
void verify_server(CURL* easy)
{
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    const std::string bundle = ca_bundle_from_environment();
    if (!bundle.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, bundle.c_str());
}

// One round of network work; when it brought nothing the caller waits for, waits up
// to a second for the socket (curl's own timers, the stall limit among them, still run).
void step(http_request* request, bool want_headers)
{
    int running = 0;
    if (curl_multi_perform(request->multi, &running) != CURLM_OK) {
        request->done = true;
        request->result = CURLE_OUT_OF_MEMORY;
        return;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(request->multi, &queued)) {
        if (message->msg == CURLMSG_DONE) {
            request->done = true;
            request->result = message->data.result;
        }
    }
    const bool ready =
        request->done || (want_headers ? request->headers_done
                                       : request->pending_pos < request->pending.size() || request->paused);
    if (ready)
        return;
    // curl's low-speed check averages over seconds of history, so a stall after a
    // burst would run past the limit; the limit counts from the last byte instead.
    const auto limit = request->last_received + std::chrono::seconds(request->stall_seconds);
    const auto now = std::chrono::steady_clock::now();
    if (now >= limit) {
        request->done = true;
        request->result = CURLE_OPERATION_TIMEDOUT;
        return;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count() + 1;
    curl_multi_poll(request->multi, nullptr, 0, left < 1000 ? static_cast<int>(left) : 1000, nullptr);
}

http_request* start(const http_session* session, const std::string& url, const char* headers)
{
    auto* request = new http_request;
    request->multi = curl_multi_init();
    request->easy = curl_easy_init();
    if (request->multi == nullptr || request->easy == nullptr) {
        destroy(request);
        return nullptr;
    }
    CURL* easy = request->easy;
    const long timeout = timeout_seconds.load();
    request->headers = curl_slist_append(nullptr, headers);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_USERAGENT, session->user_agent.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request->error_text);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
    // "Nothing received for the whole time" fails the transfer; step() watches it.
    request->stall_seconds = timeout;
    request->last_received = std::chrono::steady_clock::now();
    // A byte now and then restarts that clock: a server trickling one byte a minute would
    // hold the run for ever. Below 1 byte/s on average over the same time fails too.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout);
    verify_server(easy);
    // Through a CONNECT proxy, the proxy's "200 Connection established" comes before the
    // TLS handshake and the server's answer: the caller sees only the server's.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, request);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
    if (curl_multi_add_handle(request->multi, easy) != CURLM_OK) {
        destroy(request);
        return nullptr;
    }
    return request;
}

// The URL with TLS forced on, keeping the port the plain scheme implied.
bool force_tls(std::string& url)
{
    CURLU* parsed = curl_url();
    if (parsed == nullptr)
        return false;
    bool ok = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* scheme = nullptr;
    if (ok)
        ok = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
    if (ok && std::strcmp(scheme, "http") == 0) {
        char* port = nullptr;
        ok = curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
             curl_url_set(parsed, CURLUPART_PORT, port, 0) == CURLUE_OK &&
             curl_url_set(parsed, CURLUPART_SCHEME, "https", 0) == CURLUE_OK;
        curl_free(port);
        char* rewritten = nullptr;
        if (ok && curl_url_get(parsed, CURLUPART_URL, &rewritten, 0) == CURLUE_OK)
            url = rewritten;
        else
            ok = false;
        curl_free(rewritten);
    }
    curl_free(scheme);
    curl_url_cleanup(parsed);
    return ok;
}

// Where a redirect answer points, resolved against the URL that gave it; empty if
// nowhere. Read from the header: curl fills CURLINFO_REDIRECT_URL only once the
// body has arrived too, which may be after the headers.
std::string redirect_target(http_request* request, const std::string& base)
{
    curl_header* location = nullptr;
    if (curl_easy_header(request->easy, "Location", 0, CURLH_HEADER, -1, &location) != CURLHE_OK ||
        location->value[0] == '\0')
        return "";
    std::string target;
    CURLU* parsed = curl_url();
    char* resolved = nullptr;
    // Set over the base URL, a relative reference resolves against it (as curl's own
    // redirect handling does, with the same flags).
    if (parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        curl_url_set(parsed, CURLUPART_URL, location->value,
                     CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS) ==
            CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_URL, &resolved, 0) == CURLUE_OK)
        target = resolved;
    curl_free(resolved);
    curl_url_cleanup(parsed);
    return target;
}

bool is_https(const std::string& url)
{
    return url.compare(0, 8, "https://") == 0;
}

}  // namespace

http_session* http_open(const char* user_agent, uint32_t& error)
{
    global_init();
    auto* session = new (std::nothrow) http_session;
    if (session == nullptr) {
        error = error_not_enough_memory;
        return nullptr;
    }
    session->user_agent = user_agent;
    return session;
}

http_request* http_open_url(http_session* session, const std::string& url, const char* headers, bool secure,
                            uint32_t& error, uint32_t& proxy_status)
{
    proxy_status = 0;
    std::string current = url;
    if (secure && !force_tls(current)) {
        error = error_internet_invalid_url;
        return nullptr;
    }
    for (int redirects = 0;; ++redirects) {
        http_request* request = start(session, current, headers);
        if (request == nullptr) {
            error = error_not_enough_memory;
            return nullptr;
        }
        while (!request->headers_done && !request->done)
            step(request, true);
        if (!request->headers_done) {
            error = request->result == CURLE_OK ? error_http_invalid_server_response : map_error(request);
            // curl fails a refused tunnel as a broken connection; only the status says why.
            long connect_status = 0;
            curl_easy_getinfo(request->easy, CURLINFO_HTTP_CONNECTCODE, &connect_status);
            if (connect_status >= 300)
                proxy_status = static_cast<uint32_t>(connect_status);
            destroy(request);
            return nullptr;
        }
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status == 407) {
            proxy_status = 407;
            destroy(request);
            return nullptr;
        }
        const bool redirect_status =
            status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        const std::string next = redirect_status ? redirect_target(request, current) : std::string();
        if (next.empty()) {
            // As named: the first URL before TLS was forced on it, then each redirect's.
            request->answering_url = redirects == 0 ? url : current;
            return request;
        }
        destroy(request);
        if (next.compare(0, 7, "http://") != 0 && !is_https(next)) {
            error = error_internet_unrecognized_scheme;
            return nullptr;
        }
        if (is_https(current) && !is_https(next)) {
            error = error_internet_https_to_http_on_redir;
            return nullptr;
        }
        if (redirects + 1 > max_redirects) {
            error = error_http_redirect_failed;
            return nullptr;
        }
        current = next;
    }
}

bool http_read(http_request* request, char* buffer, uint32_t size, uint32_t& bytes_read, uint32_t& error)
{
    bytes_read = 0;
    for (;;) {
        const std::size_t available = request->pending.size() - request->pending_pos;
        if (available > 0) {
            const std::size_t n = available < size ? available : size;
            std::memcpy(buffer, request->pending.data() + request->pending_pos, n);
            request->pending_pos += n;
            bytes_read = static_cast<uint32_t>(n);
            return true;
        }
        if (request->paused) {
            request->paused = false;
            // The wait was the caller's, not the network's.
            request->last_received = std::chrono::steady_clock::now();
            curl_easy_pause(request->easy, CURLPAUSE_CONT);
            continue;
        }
        if (request->done) {
            if (request->result == CURLE_OK)
                return true;
            error = map_error(request);
            return false;
        }
        step(request, false);
    }
}

bool http_tls12_handshake(const std::string& url, bool& completed, uint32_t& error)
{
    global_init();
    completed = false;
    auto* request = new (std::nothrow) http_request;
    if (request == nullptr || (request->easy = curl_easy_init()) == nullptr) {
        delete request;
        error = error_not_enough_memory;
        return false;
    }
    CURL* easy = request->easy;
    const long timeout = timeout_seconds.load();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    // The connection and its handshake only: no request is sent.
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2 | CURL_SSLVERSION_MAX_TLSv1_2);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request->error_text);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeout);
    verify_server(easy);
    request->result = curl_easy_perform(easy);
    completed = request->result == CURLE_OK;
    if (!completed)
        error = map_error(request);
    destroy(request);
    return true;
}

uint32_t http_status(http_request* request)
{
    long status = 0;
    curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
    return static_cast<uint32_t>(status);
}

std::string http_header(http_request* request, const char* name)
{
    // A header sent several times is one list (RFC 9110, 5.3), as WinINet's index loop reads it.
    std::string value;
    curl_header* header = nullptr;
    for (std::size_t index = 0;
         curl_easy_header(request->easy, name, index, CURLH_HEADER, -1, &header) == CURLHE_OK &&
         index < header->amount;
         ++index) {
        if (index > 0)
            value += ", ";
        value += header->value;
    }
    return value;
}

std::string http_answering_url(http_request* request)
{
    return request->answering_url;
}

void http_close(http_request* request)
{
    if (request != nullptr)
        destroy(request);
}

void http_close(http_session* session)
{
    delete session;
}

void http_set_timeout_seconds(long seconds)
{
    timeout_seconds.store(seconds);
}

}  // namespace platform
