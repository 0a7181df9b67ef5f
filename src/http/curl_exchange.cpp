#include "http/curl_exchange.h"

#include "http/transport_failure.h"
#include "runtime/codepage.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>

#include "http/http_method.h"
#include "http/tls_trust.h"
#include "http/transport_failure.h"
#include "runtime/percent_encoding.h"

namespace velpic {

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Fewer, larger pieces of a streamed body: a picture of many megabytes goes in a few hundred writes.
constexpr long kUploadBufferBytes = 512 * 1024;

bool init_curl() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

bool is_token_char(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string lower_name(const std::string& line) {
    std::string name = line.substr(0, line.find(':'));
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

struct Progress {
    std::string headers;
    bool headers_complete = false;
    int answers = 0; // status lines seen, interim and redirect answers included
    int status = 0;
    bool has_location = false;
    bool request_started = false;
    std::string body;
    std::size_t max_body = 0; // 0: no limit
    bool body_too_large = false;
    // The time-out is an idle limit: no header line and no body byte in or out for that long. libcurl's own
    // low-speed check would instead cut a slow but steady answer whose average rate stays below its limit.
    std::chrono::steady_clock::duration idle_limit{};
    bool idle_timeout = false;
    std::chrono::steady_clock::time_point last_activity = std::chrono::steady_clock::now();
    curl_off_t last_down = 0;
    curl_off_t last_up = 0;
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* progress = static_cast<Progress*>(user);
    progress->last_activity = std::chrono::steady_clock::now();
    std::string line(data, size * count);
    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new answer (after a 1xx or a followed redirect): only the last one is reported.
        progress->headers.clear();
        progress->body.clear();
        progress->headers_complete = false;
        progress->has_location = false;
        progress->answers++;
        std::size_t space = line.find(' ');
        progress->status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
    } else if (progress->headers_complete || progress->answers == 0) {
        return size * count; // trailers after a chunked body
    }
    if (line.size() >= 1 && line.back() == '\n' && (line.size() < 2 || line[line.size() - 2] != '\r'))
        line.insert(line.size() - 1, "\r");
    if (line == "\r\n")
        progress->headers_complete = true;
    else if (line.size() >= 9 && lower_name(line) == "location")
        progress->has_location = true;
    progress->headers += line;
    return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* progress = static_cast<Progress*>(user);
    progress->last_activity = std::chrono::steady_clock::now();
    std::size_t length = size * count;
    if (progress->max_body > 0 && length > progress->max_body - progress->body.size()) {
        // Keep what fits and stop reading: an answer past the limit is never held whole.
        progress->body.append(data, progress->max_body - progress->body.size());
        progress->body_too_large = true;
        return 0;
    }
    progress->body.append(data, length);
    return length;
}

int on_transfer_info(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* progress = static_cast<Progress*>(user);
    auto now = std::chrono::steady_clock::now();
    if (down != progress->last_down || up != progress->last_up) {
        progress->last_down = down;
        progress->last_up = up;
        progress->last_activity = now;
    }
    if (now - progress->last_activity < progress->idle_limit)
        return 0;
    progress->idle_timeout = true;
    return 1;
}

// Where the transport stands in a streamed body.
struct BodyCursor {
    const RequestBody* body = nullptr;
    std::uint64_t offset = 0;
};

size_t on_body_wanted(char* out, size_t size, size_t count, void* user) {
    auto* cursor = static_cast<BodyCursor*>(user);
    const std::size_t got = cursor->body->read(cursor->offset, out, size * count);
    cursor->offset += got;
    return got;
}

// libcurl starts the body over when it sends the request again (a reused connection that turned out closed).
int on_body_seek(void* user, curl_off_t offset, int origin) {
    auto* cursor = static_cast<BodyCursor*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > cursor->body->size())
        return CURL_SEEKFUNC_CANTSEEK;
    cursor->offset = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

int on_request_start(void* user, char*, char*, int, int) {
    static_cast<Progress*>(user)->request_started = true;
    return CURL_PREREQFUNC_OK;
}

bool is_connect_failure(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SEND_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_PROXY:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string percent_encode_unsafe(const std::string& text) {
    return percent_encode_where(text, [](unsigned char c) { return c <= 0x20 || c >= 0x7F; });
}

bool is_sendable_header_line(const std::string& line) {
    std::size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos)
        return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (!is_token_char(static_cast<unsigned char>(line[i])))
            return false;
    for (std::size_t i = colon + 1; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    }
    return true;
}

CurlExchangeResult curl_exchange(const CurlExchangeRequest& request) {
    CurlExchangeResult result;
    if (!init_curl())
        return result;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!easy || !url)
        return result;
    CURL* h = easy.get();

    // The target goes in as path and query parts, so that a fragment reaches the request line as written.
    std::string target = percent_encode_unsafe(request.target);
    if (target.empty() || target[0] != '/')
        target.insert(0, "/");
    std::size_t question = target.find('?');
    std::string base = std::string(request.secure ? "https://" : "http://") + request.host + "/";
    if (request.host.empty() || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
        return result;
    if (request.port > 0 &&
        curl_url_set(url.get(), CURLUPART_PORT, std::to_string(request.port).c_str(), 0) != CURLUE_OK)
        return result;
    if (curl_url_set(url.get(), CURLUPART_PATH, target.substr(0, question).c_str(), 0) != CURLUE_OK)
        return result;
    if (question != std::string::npos &&
        curl_url_set(url.get(), CURLUPART_QUERY, target.substr(question + 1).c_str(), 0) != CURLUE_OK)
        return result;

    Progress progress;
    char error_text[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(h, CURLOPT_CURLU, url.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    bool https_only = request.secure && !request.redirect_to_http;
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, https_only ? "https" : "http,https");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.follow_redirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &progress);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &progress);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, on_request_start);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &progress);
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    // A stall of the whole limit while sending or receiving ends the exchange; a slow but moving one does not.
    long timeout = request.timeout_seconds >= 1 ? request.timeout_seconds : 30;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeout);
    progress.idle_limit = std::chrono::seconds(timeout);
    progress.max_body = request.max_body_bytes;
    if (request.max_body_bytes > 0) // refused at once when the head announces more
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.max_body_bytes));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_transfer_info);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &progress);

    // An empty proxy also keeps http_proxy and friends from the environment out.
    std::string proxy;
    if (!request.proxy.empty())
        proxy = (request.socks_proxy ? "socks4://" : "http://") + request.proxy;
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_NOPROXY, "");
    if (!request.server_user.empty() && !request.server_password.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_USERNAME, request.server_user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, request.server_password.c_str());
    }
    if (!proxy.empty() && !request.proxy_user.empty() && !request.proxy_password.empty()) {
        curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, request.proxy_user.c_str());
        curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, request.proxy_password.c_str());
    }

    set_tls_verification(h, request.verify_tls);

    // Header lines exactly as given. An empty value needs libcurl's "Name;" form, since "Name:" would remove the
    // header; the empty "Name:" entries below switch off what libcurl would add by itself (its "Accept: */*",
    // "Expect: 100-continue" on large bodies, the form type of a body, "Proxy-Connection" through a proxy).
    static const char* const kOwnHeaders[] = {"accept", "expect", "content-type", "proxy-connection"};
    bool given[std::size(kOwnHeaders)] = {};
    curl_slist* raw_list = nullptr;
    for (const std::string& line : request.header_lines) {
        std::string name = lower_name(line);
        for (std::size_t i = 0; i < std::size(kOwnHeaders); ++i)
            given[i] = given[i] || name == kOwnHeaders[i];
        std::size_t value = line.find_first_not_of(" \t", line.find(':') + 1);
        std::string entry = value == std::string::npos ? line.substr(0, line.find(':')) + ";" : line;
        raw_list = curl_slist_append(raw_list, entry.c_str());
    }
    for (std::size_t i = 0; i < std::size(kOwnHeaders); ++i)
        if (!given[i])
            raw_list = curl_slist_append(raw_list, (std::string(kOwnHeaders[i]) + ":").c_str());
    std::unique_ptr<curl_slist, ListDeleter> list(raw_list);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());

    // POST goes without a custom verb so that a 301/302/303 answer turns it into a GET, as browsers do.
    const char* verb = http_method_verb(request.method);
    BodyCursor cursor{request.streamed_body, 0};
    const std::uint64_t body_size =
        request.streamed_body != nullptr ? request.streamed_body->size() : request.body.size();
    if (std::strcmp(verb, "HEAD") == 0) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
        if (request.send_body && request.streamed_body != nullptr) {
            // Read as the connection takes it, with its exact length announced: the body is never held whole.
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_size));
            curl_easy_setopt(h, CURLOPT_READFUNCTION, on_body_wanted);
            curl_easy_setopt(h, CURLOPT_READDATA, &cursor);
            curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, on_body_seek);
            curl_easy_setopt(h, CURLOPT_SEEKDATA, &cursor);
            curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
        } else if (request.send_body) {
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_size));
            // An empty view may have no data at all, and a null POSTFIELDS would make libcurl read standard input.
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
        }
        if (std::strcmp(verb, "POST") != 0 && (request.send_body || std::strcmp(verb, "GET") != 0))
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb);
        // libcurl keeps a custom verb across a 301/302/303 but would drop its body, so a redirected PUT would
        // arrive empty: such a request goes on with its body.
        if (request.send_body && std::strcmp(verb, "POST") != 0 && std::strcmp(verb, "GET") != 0)
            curl_easy_setopt(h, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
        if (std::strcmp(verb, "POST") == 0 && !request.send_body) {
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
        }
    }

    progress.last_activity = std::chrono::steady_clock::now();
    CURLcode code = curl_easy_perform(h);
    result.headers = std::move(progress.headers);
    result.headers_complete = progress.headers_complete;
    result.body = std::move(progress.body);
    bool redirect_declined = https_only && code == CURLE_UNSUPPORTED_PROTOCOL && progress.headers_complete &&
                             progress.status >= 300 && progress.status < 400;
    TransportFailure why;
    why.curl_code = code;
    why.request_started = progress.request_started;
    why.idle_timeout = progress.idle_timeout;
    why.head_incomplete = (progress.answers > 0 || code == CURLE_OK) && !progress.headers_complete;
    if (progress.body_too_large || code == CURLE_FILESIZE_EXCEEDED)
        why.body_limit = request.max_body_bytes;
    if (code == CURLE_OK && !progress.headers_complete) {
        // libcurl takes a head cut off by the closing connection for a whole one: it is no answer.
        result.failure = CurlExchangeFailure::no_response;
    } else if (code == CURLE_OK || redirect_declined) {
        result.failure = CurlExchangeFailure::none;
        result.complete = code == CURLE_OK;
    } else if (progress.answers == 0) {
        curl_off_t sent = 0;
        curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &sent);
        bool request_sent = progress.request_started && !is_connect_failure(code) &&
                            (!request.send_body || sent >= static_cast<curl_off_t>(body_size));
        result.failure = request_sent ? CurlExchangeFailure::no_response : CurlExchangeFailure::connect;
    } else if (!progress.headers_complete || progress.status < 200 ||
               (request.follow_redirects && progress.status >= 300 && progress.status < 400 && progress.has_location)) {
        result.failure = CurlExchangeFailure::no_response;
    } else {
        result.failure = CurlExchangeFailure::body;
    }
    if (redirect_declined)
        result.failure_reason = transport_failure_text(TransportFailure{.redirect_to_http = true});
    else if (!result.complete)
        result.failure_reason = transport_failure_text(why);
    // libcurl's own words (its error buffer, OpenSSL's text included) follow the reason, shortened. A limit of the
    // exchange's own (size, idle time) ends the transfer through a callback: libcurl's words would only say that
    // the callback stopped it.
    if (!result.complete && code != CURLE_OK && why.body_limit == 0 && !why.idle_timeout && !redirect_declined)
        result.failure_reason = utf8_to_gbk(reason_with_original(
            to_utf8(result.failure_reason), error_text[0] != '\0' ? error_text : curl_easy_strerror(code)));
    return result;
}

} // namespace velpic
