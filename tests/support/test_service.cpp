#include "support/test_service.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>
#include <system_error>

namespace velpic::test {

namespace {

bool iequals(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string percent_decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> split_path(const std::string& path) {
    std::vector<std::string> parts;
    std::string piece;
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            parts.push_back(piece);
            piece.clear();
        } else {
            piece += path[i];
        }
    }
    return parts;
}

// The rest of the path after `count` segments, slashes kept.
std::string path_tail(const std::vector<std::string>& parts, std::size_t count) {
    std::string tail;
    for (std::size_t i = count; i < parts.size(); ++i) {
        if (i > count)
            tail += '/';
        tail += parts[i];
    }
    return tail;
}

std::string reason_phrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

ServiceAnswer json_answer(int status, const nlohmann::json& body) {
    ServiceAnswer answer;
    answer.status = status;
    answer.headers = {{"Content-Type", "application/json;charset=utf-8"}};
    answer.body = body.dump();
    return answer;
}

ServiceAnswer not_found_page() {
    ServiceAnswer answer;
    answer.status = 404;
    answer.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    answer.body = "<html><head><title>404 Not Found</title></head><body><h1>404 Not Found</h1></body></html>";
    return answer;
}

std::string picture_type(const std::string& path) {
    auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    if (ext == "png")
        return "image/png";
    if (ext == "jpg" || ext == "jpeg")
        return "image/jpeg";
    if (ext == "gif")
        return "image/gif";
    return "application/octet-stream";
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// A number in the given base filling the whole text; nullopt for anything else (a malformed request).
std::optional<std::size_t> parse_size(const std::string& text, int base) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (error != std::errc() || stop != end || text.empty())
        return std::nullopt;
    return value;
}

std::string file_key(const std::string& owner, const std::string& repo, const std::string& path) {
    return owner + "/" + repo + "/" + path;
}

// The value of one parameter of the target's query, percent-decoded; empty when absent.
std::string query_parameter(const std::string& target, const std::string& name) {
    std::size_t question = target.find('?');
    if (question == std::string::npos)
        return {};
    std::string query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        std::string pair = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return percent_decode(pair.substr(name.size() + 1));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
}

// A self-signed certificate for 127.0.0.1 and localhost, made fresh for each TLS service.
std::pair<X509*, EVP_PKEY*> make_certificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr)
        return {cert, key};
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost")) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());
    return {cert, key};
}

} // namespace

std::string base64_encode(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            value |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += i + 1 < bytes.size() ? alphabet[(value >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[value & 63] : '=';
    }
    return out;
}

std::string base64_decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=')
            break;
        auto pos = alphabet.find(c);
        if (pos == std::string::npos)
            continue;
        value = (value << 6) | static_cast<unsigned>(pos);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

std::string git_blob_sha1(const std::string& bytes) {
    std::string head = "blob " + std::to_string(bytes.size());
    head += '\0';
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha1(), nullptr);
    EVP_DigestUpdate(context, head.data(), head.size());
    EVP_DigestUpdate(context, bytes.data(), bytes.size());
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : std::string(reinterpret_cast<char*>(digest), length)) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

Delivery Delivery::dropped() {
    Delivery delivery;
    delivery.drop = true;
    return delivery;
}

Delivery Delivery::head_cut_after(std::size_t bytes) {
    Delivery delivery;
    delivery.cut_after = bytes;
    return delivery;
}

Delivery Delivery::body_cut_after(std::size_t bytes) {
    Delivery delivery;
    delivery.cut_body_after = bytes;
    return delivery;
}

Delivery Delivery::dripping(std::chrono::milliseconds interval) {
    Delivery delivery;
    delivery.drip_interval = interval;
    return delivery;
}

ServiceAnswer ServiceAnswer::redirect(int status, const std::string& location) {
    ServiceAnswer answer;
    answer.status = status;
    answer.headers = {{"Location", location}};
    return answer;
}

std::string ServiceRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name))
            return value;
    return {};
}

bool ServiceRequest::has_header(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, name); });
}

std::size_t ServiceRequest::header_position(const std::string& name) const {
    for (std::size_t i = 0; i < headers.size(); ++i)
        if (iequals(headers[i].first, name))
            return i + 1;
    return 0;
}

struct TestService::Tls {
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
};

TestService::TestService(Transport transport, int port) : transport_(transport) {
    if (transport == Transport::tls) {
        start_tls(port);
        return;
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd_ < 0)
        return;
    int yes = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 64) != 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        return;
    }
    socklen_t length = sizeof address;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    accept_thread_ = std::thread([this] { accept_loop(); });
}

void TestService::start_tls(int port) {
    auto [cert, key] = make_certificate();
    if (BIO* bio = BIO_new(BIO_s_mem())) {
        PEM_write_bio_X509(bio, cert);
        char* pem = nullptr;
        long length = BIO_get_mem_data(bio, &pem);
        certificate_pem_.assign(pem, static_cast<std::size_t>(length));
        BIO_free(bio);
    }
    tls_ = std::make_unique<Tls>();
    tls_->server = std::make_unique<httplib::SSLServer>(cert, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!tls_->server->is_valid())
        return;
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        ServiceRequest request;
        request.method = req.method;
        request.target = req.target;
        request.path = req.path;
        for (const auto& [name, value] : req.headers)
            request.headers.emplace_back(name, value);
        request.body = req.body;
        request.peer = req.remote_addr + ":" + std::to_string(req.remote_port);
        record(request);
        ServiceAnswer answer = handle(request);
        res.status = answer.status;
        std::string type = "text/plain";
        for (const auto& [name, value] : answer.headers) {
            if (iequals(name, "Content-Type"))
                type = value;
            else
                res.set_header(name, value);
        }
        if (answer.status != 204)
            res.set_content(answer.body, type);
    };
    // Clients that keep their connection open may send any number of requests on it, and a few such clients at
    // once must not leave others waiting for a free worker.
    tls_->server->set_keep_alive_max_count(1000000);
    tls_->server->set_tcp_nodelay(true); // head and body go out in two writes
    tls_->server->new_task_queue = [] { return new httplib::ThreadPool(32); };
    tls_->server->Get(".*", handler);
    tls_->server->Post(".*", handler);
    tls_->server->Put(".*", handler);
    tls_->server->Delete(".*", handler);
    port_ = port == 0 ? tls_->server->bind_to_any_port("127.0.0.1") : port;
    if (port != 0 && !tls_->server->bind_to_port("127.0.0.1", port))
        port_ = 0;
    if (port_ <= 0) {
        port_ = 0;
        return;
    }
    tls_->thread = std::thread([this] { tls_->server->listen_after_bind(); });
}

TestService::~TestService() {
    stop();
}

void TestService::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        for (int fd : open_fds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    changed_.notify_all();
    if (tls_) {
        if (tls_->server)
            tls_->server->stop();
        if (tls_->thread.joinable())
            tls_->thread.join();
    }
    if (listen_fd_ >= 0) {
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (accept_thread_.joinable())
            accept_thread_.join();
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return active_connections_ == 0; });
}

void TestService::wait() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopping_; });
}

std::string TestService::base() const {
    return std::string(transport_ == Transport::tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string TestService::base_for_host(const std::string& host) const {
    return std::string(transport_ == Transport::tls ? "https" : "http") + "://" + host + ":" + std::to_string(port_) +
           "/";
}

void TestService::set_missing_path_answer(MissingPath answer) {
    std::lock_guard lock(mutex_);
    missing_path_ = answer;
}

void TestService::preset_delivery(const std::string& method, const std::string& path, Delivery delivery) {
    std::lock_guard lock(mutex_);
    deliveries_[method + " " + path].push_back(delivery);
}

void TestService::set_access_token(const std::string& token) {
    std::lock_guard lock(mutex_);
    token_ = token;
}

void TestService::set_download_branch(const std::string& branch) {
    std::lock_guard lock(mutex_);
    branch_ = branch;
}

void TestService::set_clear_mode(ClearMode mode) {
    std::lock_guard lock(mutex_);
    clear_mode_ = mode;
}

void TestService::set_create_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    create_delay_ = delay;
}

void TestService::preset_answer(const std::string& method, const std::string& path, ServiceAnswer answer) {
    std::lock_guard lock(mutex_);
    presets_[method + " " + path].push_back(std::move(answer));
}

void TestService::put_file(const std::string& owner, const std::string& repo, const std::string& path,
                           std::string bytes) {
    std::lock_guard lock(mutex_);
    files_[file_key(owner, repo, path)] = StoredFile{std::move(bytes), "put by the test"};
}

void TestService::lose_file(const std::string& owner, const std::string& repo, const std::string& path) {
    std::lock_guard lock(mutex_);
    files_.erase(file_key(owner, repo, path));
}

std::optional<StoredFile> TestService::file(const std::string& owner, const std::string& repo,
                                            const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(file_key(owner, repo, path));
    if (it == files_.end())
        return std::nullopt;
    return it->second;
}

std::size_t TestService::file_count(const std::string& owner, const std::string& repo) const {
    std::lock_guard lock(mutex_);
    std::string prefix = owner + "/" + repo + "/";
    return static_cast<std::size_t>(std::count_if(files_.begin(), files_.end(),
                                                  [&](const auto& entry) { return entry.first.starts_with(prefix); }));
}

std::string TestService::download_url(const std::string& owner, const std::string& repo,
                                      const std::string& path) const {
    std::lock_guard lock(mutex_);
    return base() + owner + "/" + repo + "/raw/" + branch_ + "/" + path;
}

std::vector<ServiceRequest> TestService::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t TestService::count_requests(const std::string& method, const std::string& path_prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(), [&](const auto& request) {
        return request.method == method && request.path.starts_with(path_prefix);
    }));
}

bool TestService::wait_for_requests(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return requests_.size() >= n; });
}

void TestService::forget_requests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

void TestService::record(const ServiceRequest& request) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        requests_.back().received = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
}

void TestService::accept_loop() {
    for (;;) {
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        // Detached: stop() waits for the count to reach zero before the service goes away.
        try {
            std::thread([this, fd] { serve_connection(fd); }).detach();
        } catch (const std::system_error&) {
            ::close(fd); // no thread to serve it: the client sees the connection closed
            continue;
        }
        open_fds_.push_back(fd);
        ++active_connections_;
    }
}

// One request per connection: read head and body, answer, close.
void TestService::serve_connection(int fd) {
    std::string data;
    char buffer[16384];
    auto read_more = [&] {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        data.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    auto finish = [&] {
        std::lock_guard lock(mutex_);
        open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
        ::close(fd);
        --active_connections_;
        changed_.notify_all(); // under the lock: stop() cannot return before this thread lets go of it
    };

    std::size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos)
        if (!read_more())
            return finish();

    ServiceRequest request;
    std::istringstream head(data.substr(0, head_end));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::istringstream request_line(line);
    std::string version;
    request_line >> request.method >> request.target >> version;
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        request.headers.emplace_back(line.substr(0, colon), value);
    }
    request.path = percent_decode(request.target.substr(0, request.target.find('?')));

    data.erase(0, head_end + 4);
    if (iequals(request.header("Expect"), "100-continue") && !send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
        return finish();
    if (iequals(request.header("Transfer-Encoding"), "chunked")) {
        std::string body;
        for (;;) {
            std::size_t line_end;
            while ((line_end = data.find("\r\n")) == std::string::npos)
                if (!read_more())
                    return finish();
            std::string size_text = data.substr(0, line_end);
            size_text = size_text.substr(0, size_text.find(';')); // chunk extensions
            std::optional<std::size_t> parsed = parse_size(size_text, 16);
            if (!parsed)
                return finish();
            std::size_t size = *parsed;
            while (data.size() < line_end + 2 + size + 2)
                if (!read_more())
                    return finish();
            body += data.substr(line_end + 2, size);
            data.erase(0, line_end + 2 + size + 2);
            if (size == 0)
                break;
        }
        request.body = body;
    } else {
        std::string length_text = request.header("Content-Length");
        std::optional<std::size_t> length_value = length_text.empty() ? 0 : parse_size(length_text, 10);
        if (!length_value)
            return finish();
        std::size_t length = *length_value;
        while (data.size() < length)
            if (!read_more())
                return finish();
        request.body = data.substr(0, length);
    }

    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0)
        request.peer = "127.0.0.1:" + std::to_string(ntohs(peer.sin_port));
    record(request);
    ServiceAnswer answer = handle(request);
    {
        std::lock_guard lock(mutex_);
        auto it = deliveries_.find(request.method + " " + request.path);
        if (it != deliveries_.end() && !it->second.empty()) {
            answer.delivery = it->second.front();
            it->second.pop_front();
        }
    }
    deliver(fd, answer);
    finish();
}

void TestService::deliver(int fd, const ServiceAnswer& answer) {
    if (answer.no_answer || answer.delivery.drop)
        return;
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " " +
                       (answer.reason.empty() ? reason_phrase(answer.status) : answer.reason) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        head += name + ": " + value + "\r\n";
    const bool has_body = answer.status != 204 && answer.status != 304;
    if (has_body)
        head += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    std::string body = has_body ? answer.body : std::string();
    if (answer.delivery.cut_body_after)
        body.resize(std::min(body.size(), *answer.delivery.cut_body_after));

    if (answer.delivery.cut_after) {
        std::string reply = head + body;
        reply.resize(std::min(reply.size(), *answer.delivery.cut_after));
        send_all(fd, reply);
    } else if (answer.delivery.drip_interval.count() > 0) {
        if (send_all(fd, head)) {
            for (char byte : body) {
                std::unique_lock lock(mutex_);
                if (changed_.wait_for(lock, answer.delivery.drip_interval, [this] { return stopping_; }))
                    break;
                lock.unlock();
                if (!send_all(fd, std::string(1, byte)))
                    break;
            }
        }
    } else {
        send_all(fd, head + body);
    }
    ::shutdown(fd, SHUT_WR);
}

bool TestService::token_accepted(const std::string& token) const {
    return token_.empty() ? !token.empty() : token == token_;
}

ServiceAnswer TestService::handle(const ServiceRequest& request) {
    {
        std::lock_guard lock(mutex_);
        auto it = presets_.find(request.method + " " + request.path);
        if (it != presets_.end() && !it->second.empty()) {
            ServiceAnswer answer = std::move(it->second.front());
            it->second.pop_front();
            return answer;
        }
    }
    if (std::optional<ServiceAnswer> quirk = raw_quirk(request))
        return *quirk;
    auto parts = split_path(request.path);
    // /api/v5/repos/{owner}/{repo}/contents/{path} and /api/v5/repos/{owner}/{repo}/clear
    if (parts.size() >= 6 && parts[0] == "api" && parts[1] == "v5" && parts[2] == "repos") {
        if (request.method == "POST" && parts.size() >= 7 && parts[5] == "contents")
            return create_file(request, parts[3], parts[4], path_tail(parts, 6));
        if (request.method == "GET" && parts.size() >= 7 && parts[5] == "contents")
            return read_file(request, parts[3], parts[4], path_tail(parts, 6));
        if (request.method == "DELETE" && parts.size() >= 7 && parts[5] == "contents")
            return delete_file(request, parts[3], parts[4], path_tail(parts, 6));
        if (request.method == "PUT" && parts.size() == 6 && parts[5] == "clear")
            return clear(request, parts[3], parts[4]);
    }
    // /{owner}/{repo}/raw/{branch}/{path}
    if (request.method == "GET" && parts.size() >= 5 && parts[2] == "raw")
        return raw_file(parts[0], parts[1], path_tail(parts, 4));
    return not_found_page();
}

ServiceAnswer TestService::create_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                                       const std::string& path) {
    std::chrono::milliseconds delay;
    {
        std::lock_guard lock(mutex_);
        delay = create_delay_;
    }
    if (delay.count() > 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, delay, [this] { return stopping_; });
    }

    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        return json_answer(400, {{"message", "Invalid request body"}});
    auto text_of = [&](const char* key) {
        auto it = body.find(key);
        return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    std::string token = text_of("access_token");
    std::string content = text_of("content");
    std::string message = text_of("message");

    std::lock_guard lock(mutex_);
    if (!token_accepted(token))
        return json_answer(401, {{"message", "401 Unauthorized: Access token does not exist"}});
    if (message.empty())
        return json_answer(400, {{"message", "message is missing"}});
    std::string key = file_key(owner, repo, path);
    if (files_.count(key) != 0)
        return json_answer(400, {{"message", "文件名已存在"}});
    std::string bytes = base64_decode(content);
    std::size_t size = bytes.size();
    std::string sha = git_blob_sha1(bytes);
    files_[key] = StoredFile{std::move(bytes), message};

    std::string name = path.substr(path.rfind('/') + 1);
    std::string api = base() + "api/v5/repos/" + owner + "/" + repo + "/contents/" + path;
    nlohmann::json answer = {
        {"content",
         {{"name", name},
          {"path", path},
          {"size", size},
          {"sha", sha},
          {"type", "file"},
          {"url", api},
          {"html_url", base() + owner + "/" + repo + "/blob/" + branch_ + "/" + path},
          {"download_url", base() + owner + "/" + repo + "/raw/" + branch_ + "/" + path},
          {"_links", {{"self", api}, {"html", base() + owner + "/" + repo + "/blob/" + branch_ + "/" + path}}}}},
        {"commit",
         {{"sha", std::to_string(std::hash<std::string>{}(message + key))},
          {"message", message},
          {"author", {{"name", owner}, {"email", owner + "@example.invalid"}}}}}};
    return json_answer(201, answer);
}

ServiceAnswer TestService::clear(const ServiceRequest& request, const std::string& owner, const std::string& repo) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    std::string token;
    if (body.is_object() && body.contains("access_token") && body["access_token"].is_string())
        token = body["access_token"].get<std::string>();

    std::lock_guard lock(mutex_);
    ClearMode mode = clear_mode_;
    if (mode == ClearMode::automatic)
        mode = token_accepted(token) ? ClearMode::no_content : ClearMode::unauthorized;
    switch (mode) {
    case ClearMode::no_content: {
        std::string prefix = owner + "/" + repo + "/";
        std::erase_if(files_, [&](const auto& entry) { return entry.first.starts_with(prefix); });
        ServiceAnswer answer;
        answer.status = 204;
        return answer;
    }
    case ClearMode::ok:
        return json_answer(200, nlohmann::json::object());
    case ClearMode::unauthorized:
        return json_answer(401, {{"message", "401 Unauthorized: Access token does not exist"}});
    default: {
        ServiceAnswer answer;
        answer.no_answer = true;
        return answer;
    }
    }
}

ServiceAnswer TestService::read_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                                     const std::string& path) const {
    std::lock_guard lock(mutex_);
    if (!token_accepted(query_parameter(request.target, "access_token")))
        return json_answer(401, {{"message", "401 Unauthorized: Access token does not exist"}});
    auto it = files_.find(file_key(owner, repo, path));
    if (it == files_.end()) {
        if (missing_path_ == MissingPath::not_found)
            return json_answer(404, {{"message", "Not Found"}});
        return json_answer(200, nlohmann::json::array());
    }
    const std::string& bytes = it->second.bytes;
    std::string name = path.substr(path.rfind('/') + 1);
    std::string api = base() + "api/v5/repos/" + owner + "/" + repo + "/contents/" + path;
    std::string html = base() + owner + "/" + repo + "/blob/" + branch_ + "/" + path;
    return json_answer(200, {{"type", "file"},
                             {"encoding", "base64"},
                             {"size", bytes.size()},
                             {"name", name},
                             {"path", path},
                             {"content", base64_encode(bytes)},
                             {"sha", git_blob_sha1(bytes)},
                             {"url", api},
                             {"html_url", html},
                             {"download_url", base() + owner + "/" + repo + "/raw/" + branch_ + "/" + path},
                             {"_links", {{"self", api}, {"html", html}}}});
}

ServiceAnswer TestService::delete_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                                       const std::string& path) {
    const std::string sha = query_parameter(request.target, "sha");
    const std::string message = query_parameter(request.target, "message");
    std::lock_guard lock(mutex_);
    if (!token_accepted(query_parameter(request.target, "access_token")))
        return json_answer(401, {{"message", "401 Unauthorized: Access token does not exist"}});
    auto it = files_.find(file_key(owner, repo, path));
    if (it == files_.end())
        return json_answer(404, {{"message", "Not Found"}});
    if (message.empty())
        return json_answer(400, {{"message", "message is missing"}});
    // The service deletes only the version the caller has seen.
    if (sha != git_blob_sha1(it->second.bytes))
        return json_answer(400, {{"message", "sha is not the latest blob sha of " + path}});
    files_.erase(it);
    return json_answer(
        200, {{"content", nullptr},
              {"commit", {{"sha", std::to_string(std::hash<std::string>{}(message + path))}, {"message", message}}}});
}

ServiceAnswer TestService::raw_file(const std::string& owner, const std::string& repo, const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(file_key(owner, repo, path));
    if (it == files_.end())
        return not_found_page();
    ServiceAnswer answer;
    answer.headers = {{"Content-Type", picture_type(path)}};
    answer.body = it->second.bytes;
    return answer;
}

} // namespace velpic::test
