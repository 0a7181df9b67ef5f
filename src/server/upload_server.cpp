#include "server/upload_server.h"

#include "runtime/codepage.h"
#include "server/http_listener.h"
#include "server/multipart_form.h"
#include "server/request_uploads.h"
#include "server/upload_answer.h"
#include "server/upload_request.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>

namespace velpic {

namespace {

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

// The log's note on an upload: the count, then each failure and each item's notes while the line stays within a few
// KB; a list of thousands of paths is counted, not written out.
std::string log_note(const std::vector<ItemOutcome>& outcomes, std::size_t failed) {
    constexpr std::size_t kMostNoteBytes = 4096;
    // In the window's language, as the answers to the editors are.
    std::string note = std::to_string(outcomes.size()) + " 张图片" +
                       (failed == 0 ? "" : "，" + std::to_string(failed) + " 张失败");
    std::vector<std::string> parts;
    for (const ItemOutcome& outcome : outcomes)
        if (!outcome.ok)
            parts.push_back(outcome.name + ": " + to_utf8(outcome.reason));
    for (const ItemOutcome& outcome : outcomes)
        for (const std::string& message : outcome.notes)
            parts.push_back(outcome.name + ": " + to_utf8(message));
    std::size_t written = 0;
    for (; written < parts.size() && note.size() + parts[written].size() + 2 <= kMostNoteBytes; ++written)
        note += (written == 0 && failed != 0 ? "：" : "；") + parts[written];
    if (written < parts.size())
        note += "；…另有 " + std::to_string(parts.size() - written) + " 条";
    return note;
}

std::string local_time_text() {
    const std::time_t now = std::time(nullptr);
    std::tm fields{};
    localtime_r(&now, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

std::string lower(std::string text) {
    for (char& c : text)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// Web pages must not reach the user's files and clipboard through this server, whatever host they are served
// from (a page on a local development server is as foreign as any other). A browser names the page's origin with
// an http, https or "null" origin, and an extension with its own scheme; editors and their plugins send none, or
// their application's own scheme (app://obsidian.md, vscode-webview://...).
bool from_browser(const std::string& origin) {
    const auto scheme_end = origin.find("://");
    if (scheme_end == std::string::npos)
        return true; // "null" (sandboxed pages, file:// pages), or nothing a browser would call an origin
    const std::string scheme = lower(origin.substr(0, scheme_end));
    static const char* const kBrowserSchemes[] = {"http",
                                                  "https",
                                                  "chrome-extension",
                                                  "moz-extension",
                                                  "safari-web-extension",
                                                  "safari-extension",
                                                  "ms-browser-extension",
                                                  "edge-extension",
                                                  "extension"};
    for (const char* browser : kBrowserSchemes) {
        if (scheme == browser)
            return true;
    }
    return false;
}

// The host a Host header names, without its port and brackets, in lower case.
std::string host_name(const std::string& header) {
    if (!header.empty() && header.front() == '[') {
        const auto close = header.find(']');
        return close == std::string::npos ? std::string() : lower(header.substr(1, close - 1));
    }
    return lower(header.substr(0, header.find(':')));
}

std::string limit_text(std::size_t limit) {
    const std::size_t mb = 1024 * 1024;
    return limit % mb == 0 ? std::to_string(limit / mb) + " MB " : std::to_string(limit) + " 字节";
}

HttpAnswer json_answer(int status, std::string json) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = std::move(json);
    return answer;
}

} // namespace

struct UploadServer::Impl final : HttpHandler {
    ServerOptions options;
    ContextSource context;
    std::shared_ptr<ClipboardSource> clipboard;
    RequestLog log;
    std::atomic<bool> cut_downloads{false};
    std::mutex control;
    bool started = false;
    std::optional<HttpListener> listener;

    enum class Verdict { serve, wrong_host, web_page, no_key, wrong_key };
    Verdict judge(const HttpHead& head) const;
    std::vector<std::pair<std::string, std::string>> cors(const HttpHead& head) const;
    HttpAnswer with_cors(const HttpHead* head, HttpAnswer answer) const;

    std::optional<HttpAnswer> screen(const HttpHead& head) override;
    HttpAnswer serve(const HttpHead& head, std::string body) override;
    HttpAnswer trouble(Trouble what, const HttpHead* head) override;
    void answered(const HttpHead* head, const std::string& remote, const HttpAnswer& answer) override;
};

UploadServer::Impl::Verdict UploadServer::Impl::judge(const HttpHead& head) const {
    // A page of any site whose name was made to point at 127.0.0.1 reaches this server with its own name as Host.
    if (is_loopback_host(options.host) && head.has_header("Host")) {
        const std::string host = host_name(head.header("Host"));
        if (!is_loopback_host(host) && host != lower(options.host))
            return Verdict::wrong_host;
    }
    if (!options.key.empty()) {
        bool present = false;
        const std::string given = head.query_value("key", &present);
        if (!present)
            return Verdict::no_key;
        return same_text(given, options.key) ? Verdict::serve : Verdict::wrong_key;
    }
    if (head.has_header("Origin") && from_browser(head.header("Origin")))
        return Verdict::web_page;
    return Verdict::serve;
}

// A page-side fetch of an editor may read the answer only when its origin is one that is served.
std::vector<std::pair<std::string, std::string>> UploadServer::Impl::cors(const HttpHead& head) const {
    if (!head.has_header("Origin") || judge(head) != Verdict::serve)
        return {};
    return {{"Access-Control-Allow-Origin", head.header("Origin")}, {"Vary", "Origin"}};
}

HttpAnswer UploadServer::Impl::with_cors(const HttpHead* head, HttpAnswer answer) const {
    if (head != nullptr) {
        for (auto& header : cors(*head))
            answer.headers.push_back(std::move(header));
    }
    return answer;
}

std::optional<HttpAnswer> UploadServer::Impl::screen(const HttpHead& head) {
    const bool upload = head.path == "/upload";
    const bool heartbeat = head.path == "/heartbeat";
    const Verdict verdict = judge(head);
    if (verdict == Verdict::wrong_host)
        return json_answer(403, refusal_answer("拒绝：Host 不是本机地址"));
    const bool preflight = head.method == "OPTIONS" && (upload || heartbeat);
    if (!preflight && !(upload && head.method == "POST") && !(heartbeat && head.method == "GET"))
        return json_answer(404, refusal_answer("没有这个地址：请用 POST /upload 或 GET /heartbeat"));
    if (verdict == Verdict::web_page)
        return json_answer(403, refusal_answer("拒绝来自网页的请求"));
    if (verdict == Verdict::no_key)
        return json_answer(401, refusal_answer("需要密钥：请在地址后加上 ?key=密钥"));
    if (verdict == Verdict::wrong_key)
        return json_answer(401, refusal_answer("密钥错误"));
    if (preflight) {
        HttpAnswer answer;
        answer.status = 204;
        answer.headers = cors(head);
        answer.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
        // The header names asked for are echoed only when they are plain names.
        std::string asked = head.header("Access-Control-Request-Headers");
        if (asked.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_, ") !=
                std::string::npos ||
            asked.size() > 512)
            asked.clear();
        answer.headers.emplace_back("Access-Control-Allow-Headers", asked.empty() ? "Content-Type" : asked);
        answer.headers.emplace_back("Access-Control-Max-Age", "600");
        return answer;
    }
    if (heartbeat)
        return with_cors(&head, json_answer(200, heartbeat_answer()));
    return std::nullopt; // an upload: its body is read, then a worker serves it
}

HttpAnswer UploadServer::Impl::serve(const HttpHead& head, std::string body) {
    UploadRequest upload;
    const std::string content_type = head.header("Content-Type");
    const bool form = same_letters(content_type.substr(0, content_type.find(';')), "multipart/form-data");
    if (form) {
        const std::string boundary = form_boundary(content_type);
        if (boundary.empty())
            upload.error = "表单格式错误，无法读取";
        else
            upload = form_request(std::move(body), boundary);
    } else if (body.empty()) {
        upload.clipboard = true;
    } else {
        upload = parse_json_request(body);
    }
    body = std::string();
    if (!upload.error.empty()) {
        HttpAnswer answer = json_answer(200, request_failure_answer(upload.error));
        answer.note = upload.error;
        return with_cors(&head, std::move(answer));
    }

    const UploadContext settings = context();
    DownloadBounds downloads;
    downloads.limit = options.payload_limit;
    downloads.deadline = options.download_deadline;
    downloads.idle_limit = options.download_idle_limit;
    downloads.cancel = &cut_downloads;
    const std::vector<ItemOutcome> outcomes = upload_request_items(upload, settings, clipboard.get(), downloads);
    upload = UploadRequest();
    std::size_t failed = 0;
    for (const ItemOutcome& outcome : outcomes)
        failed += outcome.ok ? 0 : 1;
    HttpAnswer answer = json_answer(200, upload_answer(outcomes));
    answer.note = redact(log_note(outcomes, failed), settings.access_token);
    return with_cors(&head, std::move(answer));
}

HttpAnswer UploadServer::Impl::trouble(Trouble what, const HttpHead* head) {
    switch (what) {
    case Trouble::bad_request:
        return with_cors(head, json_answer(400, refusal_answer("请求无法读取")));
    case Trouble::head_too_large:
        return with_cors(
            head, json_answer(431, refusal_answer("请求头过大：最多 " + std::to_string(options.max_header_lines) +
                                                  " 行、" + limit_text(options.max_head_bytes))));
    case Trouble::body_too_large:
        return with_cors(
            head, json_answer(413, refusal_answer("请求体大于 " + limit_text(options.payload_limit) + "的上限")));
    case Trouble::stopping:
        return with_cors(head, json_answer(503, request_failure_answer("上传服务正在停止，这个请求没有处理")));
    case Trouble::internal_error:
        break;
    }
    return with_cors(head, json_answer(500, refusal_answer("内部错误")));
}

void UploadServer::Impl::answered(const HttpHead* head, const std::string& remote, const HttpAnswer& answer) {
    if (!log)
        return;
    // The path only: the query may carry the key.
    std::string line = local_time_text() + " " + remote + " " +
                       (head != nullptr ? head->method + " " + head->path : "-") + " " + std::to_string(answer.status);
    if (!answer.note.empty())
        line += " " + answer.note;
    log(redact(one_line(std::move(line)), options.key));
}

UploadServer::UploadServer(ServerOptions options, ContextSource context, std::shared_ptr<ClipboardSource> clipboard,
                           RequestLog log)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->context = std::move(context);
    impl_->clipboard = std::move(clipboard);
    impl_->log = std::move(log);
    const ServerOptions& o = impl_->options;
    ListenerBounds bounds;
    bounds.body_limit = o.payload_limit;
    bounds.max_header_lines = o.max_header_lines;
    bounds.max_head_bytes = o.max_head_bytes;
    bounds.workers = o.workers;
    bounds.max_connections = o.max_connections;
    bounds.head_deadline = o.head_deadline;
    bounds.body_idle_limit = o.body_idle_limit;
    bounds.write_deadline = o.write_deadline;
    impl_->listener.emplace(bounds, *impl_);
}

UploadServer::~UploadServer() {
    stop();
}

std::string UploadServer::start() {
    std::lock_guard lock(impl_->control);
    if (impl_->started)
        return "the server has been started before";
    if (std::string why = check_server_options(impl_->options); !why.empty())
        return why;
    if (std::string why = impl_->listener->listen(impl_->options.host, impl_->options.port); !why.empty())
        return why;
    impl_->started = true;
    return {};
}

int UploadServer::port() const {
    std::lock_guard lock(impl_->control);
    return impl_->started ? impl_->listener->port() : 0;
}

const ServerOptions& UploadServer::options() const {
    return impl_->options;
}

void UploadServer::stop_accepting(std::function<void()> when_finished) {
    impl_->listener->stop_accepting(std::move(when_finished));
}

void UploadServer::stop() {
    // Uploads in hand are finished; downloads are cut, so that a server dripping its answer cannot hold the stop.
    impl_->cut_downloads = true;
    impl_->listener->stop();
}

} // namespace velpic
