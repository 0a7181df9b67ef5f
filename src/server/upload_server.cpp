#include "server/upload_server.h"

#include "runtime/codepage.h"
#include "server/request_uploads.h"
#include "server/upload_answer.h"
#include "server/upload_request.h"

#include <httplib.h>

#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace velpic {

namespace {

constexpr const char* kJson = "application/json; charset=utf-8";

// What the handler of a request learnt, for the log line written after its answer (same thread).
struct RequestNote {
    std::string summary;
    std::string token;
};
thread_local RequestNote request_note;

bool same_text(const std::string& given, const std::string& key) {
    // The time taken must not tell how much of a guessed key was right.
    unsigned difference = given.size() == key.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ key[i % key.size()]);
    return difference == 0;
}

std::string redact(std::string line, const std::string& secret) {
    if (secret.empty())
        return line;
    for (auto at = line.find(secret); at != std::string::npos; at = line.find(secret, at + 3))
        line.replace(at, secret.size(), "***");
    return line;
}

// A request may name anything; its log line stays one line without terminal control bytes.
std::string one_line(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    }
    return text;
}

std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm fields{};
    localtime_r(&now, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

// Web pages must not reach the user's files and clipboard through this server: a browser names the page's
// origin on every POST, while editors and their plugins send none, or their application's own scheme.
bool from_web_page(const httplib::Request& request) {
    if (!request.has_header("Origin"))
        return false;
    const std::string origin = request.get_header_value("Origin");
    if (origin == "null")
        return true;
    const auto scheme_end = origin.find("://");
    if (scheme_end == std::string::npos)
        return true;
    std::string scheme = origin.substr(0, scheme_end);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https")
        return false;
    std::string host = origin.substr(scheme_end + 3);
    if (!host.empty() && host.front() == '[') {
        host = host.substr(1, host.find(']') - 1);
    } else {
        host = host.substr(0, host.find_first_of(":/"));
    }
    return !is_loopback_host(host);
}

// Without a length or a chunked body an HTTP/1.1 request has no body; reading one would wait for the time-out.
bool has_body(const httplib::Request& request) {
    return request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
}

struct Body {
    enum class State { read, too_large, unreadable } state = State::read;
    bool form = false;
    std::string text;
    std::vector<FormPart> parts;
};

// Reads the body, or as much of it as the limit allows; keep false reads and drops it (a refused request must
// still be read off the connection before the answer).
Body read_body(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader,
               std::size_t limit, bool keep) {
    Body body;
    body.form = request.is_multipart_form_data();
    if (!has_body(request))
        return body;
    // Past the limit the rest is read and dropped, so that the client, still sending, gets the answer rather than
    // a reset connection; a body of more than twice the limit is cut off.
    std::size_t total = 0;
    bool over = false;
    auto count = [&](std::size_t n) {
        total += n;
        over = over || total > limit;
        return total <= limit || total - limit <= limit;
    };
    bool complete = false;
    if (body.form) {
        bool wanted = false;
        complete = reader(
            [&](const httplib::MultipartFormData& part) {
                wanted = keep && part.name == "files";
                if (wanted)
                    body.parts.push_back(FormPart{part.filename, {}});
                return true;
            },
            [&](const char* data, std::size_t n) {
                if (!count(n))
                    return false;
                if (wanted && !over)
                    body.parts.back().content.append(data, n);
                return true;
            });
    } else {
        complete = reader([&](const char* data, std::size_t n) {
            if (!count(n))
                return false;
            if (keep && !over)
                body.text.append(data, n);
            return true;
        });
    }
    if (over || response.status == 413) {
        body.state = Body::State::too_large;
        body.text.clear();
        body.parts.clear();
    } else if (!complete) {
        body.state = Body::State::unreadable;
    }
    return body;
}

void answer(httplib::Response& response, int status, const std::string& json) {
    response.status = status;
    response.set_content(json, kJson);
}

std::string limit_text(std::size_t limit) {
    const std::size_t mb = 1024 * 1024;
    return limit % mb == 0 ? std::to_string(limit / mb) + " MB" : std::to_string(limit) + " bytes";
}

} // namespace

struct UploadServer::Impl {
    ServerOptions options;
    ContextSource context;
    std::shared_ptr<ClipboardSource> clipboard;
    RequestLog log;

    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listener_done{false};
    std::mutex control;
    bool accepting = false;
    int port = 0;
    // Told on the listener's thread once it has answered its last request; guarded by finish.
    std::mutex finish;
    bool finished = false;
    std::function<void()> when_finished;

    // The listener's end: every worker has answered and been joined.
    void end_listening() {
        listener_done = true;
        std::function<void()> tell;
        {
            std::lock_guard lock(finish);
            finished = true;
            tell = std::move(when_finished);
        }
        if (tell)
            tell();
    }

    void build();
    struct Refusal {
        int status = 0; // 403 or 401; 0 when the request may be served
        std::string json;
    };
    Refusal refusal(const httplib::Request& request) const;
    void serve_upload(const httplib::Request& request, httplib::Response& response,
                      const httplib::ContentReader& reader);
    void write_log(const httplib::Request& request, const httplib::Response& response) const;
};

void UploadServer::Impl::build() {
    // The bounds every request is held to.
    server.set_payload_max_length(options.payload_limit);
    server.set_read_timeout(options.read_timeout);
    server.set_write_timeout(options.write_timeout);
    // Idle kept-alive connections hold a worker and delay a stop; editors send one request at a time.
    server.set_keep_alive_timeout(1);
    const auto workers = static_cast<std::size_t>(options.workers);
    server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    // Address reuse only: another program (or another Velpic) already listening on the port must make the bind
    // fail rather than share the port with it.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    server.Post("/upload", [this](const httplib::Request& request, httplib::Response& response,
                                  const httplib::ContentReader& reader) { serve_upload(request, response, reader); });
    server.Get("/heartbeat", [this](const httplib::Request& request, httplib::Response& response) {
        const Refusal refused = refusal(request);
        answer(response, refused.status == 0 ? 200 : refused.status,
               refused.status == 0 ? heartbeat_answer() : refused.json);
    });
    httplib::Server::HandlerWithResponse on_error = [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        const bool missing = response.status == 404;
        response.set_content(refusal_answer(missing ? "no such address: use POST /upload or GET /heartbeat"
                                                    : "the request could not be read"),
                             kJson);
        return httplib::Server::HandlerResponse::Handled;
    };
    server.set_error_handler(on_error);
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        answer(response, 500, refusal_answer("internal error"));
    });
    server.set_logger(
        [this](const httplib::Request& request, const httplib::Response& response) { write_log(request, response); });
}

UploadServer::Impl::Refusal UploadServer::Impl::refusal(const httplib::Request& request) const {
    if (from_web_page(request))
        return {403, refusal_answer("requests from web pages are refused")};
    if (!options.key.empty() && !same_text(request.get_param_value("key"), options.key))
        return {401, refusal_answer(request.has_param("key") ? "wrong key" : "a key is required: add ?key=KEY")};
    return {};
}

void UploadServer::Impl::serve_upload(const httplib::Request& request, httplib::Response& response,
                                      const httplib::ContentReader& reader) {
    const std::size_t limit = options.payload_limit;
    const Refusal refused = refusal(request);
    Body body = read_body(request, response, reader, limit, refused.status == 0);
    if (refused.status != 0)
        answer(response, refused.status, refused.json);
    else if (body.state == Body::State::too_large)
        answer(response, 413, refusal_answer("the request body is larger than the limit of " + limit_text(limit)));
    if (body.state != Body::State::read) // whatever is left of the body must not be taken for the next request
        response.set_header("Connection", "close");
    if (refused.status != 0 || body.state == Body::State::too_large)
        return;
    if (body.state == Body::State::unreadable) {
        answer(response, 200, request_failure_answer("the request body could not be read"));
        return;
    }

    UploadRequest upload;
    if (body.form)
        upload = form_request(std::move(body.parts));
    else if (body.text.empty())
        upload.clipboard = true;
    else
        upload = parse_json_request(body.text);
    if (!upload.error.empty()) {
        request_note.summary = upload.error;
        answer(response, 200, request_failure_answer(upload.error));
        return;
    }

    const UploadContext settings = context();
    request_note.token = settings.access_token;
    const std::vector<ItemOutcome> outcomes = upload_request_items(upload, settings, clipboard.get(), limit);
    std::size_t failed = 0;
    for (const ItemOutcome& outcome : outcomes)
        failed += outcome.ok ? 0 : 1;
    request_note.summary = std::to_string(outcomes.size()) + (outcomes.size() == 1 ? " item" : " items") +
                           (failed == 0 ? "" : ", " + std::to_string(failed) + " failed: " + failure_lines(outcomes));
    for (const ItemOutcome& outcome : outcomes) {
        for (const std::string& note : outcome.notes)
            request_note.summary += "; " + outcome.name + ": " + to_utf8(note);
    }
    answer(response, 200, upload_answer(outcomes));
}

void UploadServer::Impl::write_log(const httplib::Request& request, const httplib::Response& response) const {
    RequestNote note = std::move(request_note);
    request_note = {};
    if (!log)
        return;
    // The path only: the query may carry the key.
    std::string line = local_time_text() + " " + request.remote_addr + " " + request.method + " " + request.path + " " +
                       std::to_string(response.status);
    if (!note.summary.empty())
        line += " " + note.summary;
    log(redact(redact(one_line(std::move(line)), options.key), note.token));
}

UploadServer::UploadServer(ServerOptions options, ContextSource context, std::shared_ptr<ClipboardSource> clipboard,
                           RequestLog log)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->context = std::move(context);
    impl_->clipboard = std::move(clipboard);
    impl_->log = std::move(log);
    impl_->build();
}

UploadServer::~UploadServer() {
    stop();
}

std::string UploadServer::start() {
    std::lock_guard lock(impl_->control);
    const ServerOptions& options = impl_->options;
    if (impl_->listener.joinable())
        return "the server has been started before";
    if (std::string why = check_server_options(options); !why.empty())
        return why;
    errno = 0;
    int port = options.port;
    if (port == 0)
        port = impl_->server.bind_to_any_port(options.host);
    else if (!impl_->server.bind_to_port(options.host, port))
        port = -1;
    if (port <= 0) {
        const int error = errno;
        return "cannot listen on " + options.host + ":" + std::to_string(options.port) +
               (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
    }
    try {
        impl_->listener = std::thread([impl = impl_.get()] {
            impl->server.listen_after_bind();
            impl->end_listening();
        });
    } catch (const std::system_error& error) {
        return std::string("cannot start the server's thread: ") + error.what();
    }
    // stop() does nothing until the server counts as running, so a stop right after the start must wait for it.
    while (!impl_->server.is_running() && !impl_->listener_done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl_->accepting = impl_->server.is_running();
    impl_->port = port;
    return {};
}

int UploadServer::port() const {
    std::lock_guard lock(impl_->control);
    return impl_->port;
}

const ServerOptions& UploadServer::options() const {
    return impl_->options;
}

void UploadServer::stop_accepting(std::function<void()> when_finished) {
    {
        std::lock_guard lock(impl_->control);
        if (when_finished) {
            std::lock_guard finish(impl_->finish);
            if (impl_->listener.joinable() && !impl_->finished)
                impl_->when_finished = std::exchange(when_finished, nullptr);
        }
        if (impl_->accepting) {
            impl_->accepting = false;
            impl_->server.stop();
        }
    }
    // Never started, or done already.
    if (when_finished)
        when_finished();
}

void UploadServer::stop() {
    stop_accepting();
    std::lock_guard lock(impl_->control);
    if (impl_->listener.joinable())
        impl_->listener.join();
}

} // namespace velpic
