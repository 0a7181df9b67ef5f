// An in-process stand-in for the hosting service: create-file, read-file, delete-file (with the blob SHA check) and
// clear of its REST API, and raw-file downloads. Listens on 127.0.0.1 on a free port, records every request with its
// headers in wire order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velpic::test {

using HeaderPairs = std::vector<std::pair<std::string, std::string>>;

struct ServiceRequest {
    std::string method;
    std::string target; // as on the request line, query included
    std::string path;   // target without the query, percent-decoded
    HeaderPairs headers;
    std::string body;
    std::string peer;                               // the client's address and port: one value per connection
    std::chrono::steady_clock::time_point received; // when the stand-in recorded it

    // First header of that name, letter case ignored; empty when absent.
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
    // 1-based place of the first header of that name on the wire, letter case ignored; 0 when absent.
    std::size_t header_position(const std::string& name) const;
};

// How an answer leaves the stand-in, for the plain transport; the default sends it whole at once.
struct Delivery {
    bool drop = false;                          // close the connection without sending anything
    std::optional<std::size_t> cut_after;       // send only this many bytes of the reply (head and body), then close
    std::optional<std::size_t> cut_body_after;  // send the whole head and only this many bytes of the body
    std::chrono::milliseconds drip_interval{0}; // send the head at once, then the body one byte per interval

    static Delivery dropped();
    static Delivery head_cut_after(std::size_t bytes);
    static Delivery body_cut_after(std::size_t bytes);
    static Delivery dripping(std::chrono::milliseconds interval);
};

struct ServiceAnswer {
    int status = 200;
    std::string reason; // empty: the usual phrase of status
    HeaderPairs headers;
    std::string body;
    bool no_answer = false; // close the connection without sending anything
    Delivery delivery;

    // A redirect answer pointing at location.
    static ServiceAnswer redirect(int status, const std::string& location);
};

struct StoredFile {
    std::string bytes;          // decoded content
    std::string commit_message; // as sent (UTF-8)
};

class TestService {
public:
    enum class Transport { plain, tls };
    // automatic: 204 and the repository emptied for a good token, 401 otherwise.
    enum class ClearMode { automatic, no_content, ok, unauthorized, no_answer };
    // How a read of a path that holds no file is answered; the real service has been seen doing both.
    enum class MissingPath { empty_array, not_found };

    // Starts listening at once; port 0 picks a free one.
    explicit TestService(Transport transport = Transport::plain, int port = 0);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT/" (or https): the value for VELPIC_SERVICE_BASE.
    std::string base() const;
    // The same service under another host name, e.g. "localhost": a second host for redirect tests.
    std::string base_for_host(const std::string& host) const;
    // The self-signed certificate of a TLS service in PEM form (empty for plain HTTP): a CA file that trusts it.
    const std::string& certificate_pem() const { return certificate_pem_; }

    // The token the API accepts; empty (the default) accepts any non-empty token.
    void set_access_token(const std::string& token);
    // Branch named in the download addresses the create answers carry ("master" by default).
    void set_download_branch(const std::string& branch);
    void set_clear_mode(ClearMode mode);
    // Latency of every create-file answer, so that overlapping uploads really overlap.
    void set_create_delay(std::chrono::milliseconds delay);
    void set_missing_path_answer(MissingPath answer);
    // One-shot answer for the next request with this method and path, ahead of the normal handling.
    void preset_answer(const std::string& method, const std::string& path, ServiceAnswer answer);
    // One-shot: the next request with this method and path is handled as usual (a create commits its file), but
    // its answer is delivered this way, e.g. dropped as a network would drop it.
    void preset_delivery(const std::string& method, const std::string& path, Delivery delivery);

    // What the real service does to raw-file downloads, each off until set:
    // raw files are served only on this host name (e.g. "localhost"): a request naming another host is redirected
    // there, same scheme, port and target;
    void set_raw_host(const std::string& host);
    // a raw file larger than this many bytes redirects to the sign-in page "/login", a 200 HTML page;
    void set_sign_in_above(std::size_t bytes);
    // a request whose Referer names a host other than 127.0.0.1 or localhost gets the service's icon;
    void set_icon_for_foreign_referer(bool on);
    // every raw-file answer waits this long first (ended early by stop(); setting 0 lets those waiting go).
    void set_raw_delay(std::chrono::milliseconds delay);
    // The icon served above.
    static std::string icon_bytes();
    // Connections that carried at least one request so far (also those already closed).
    std::size_t connection_count() const;

    void put_file(const std::string& owner, const std::string& repo, const std::string& path, std::string bytes);
    // The file disappears as the real service has lost files: no request, no commit.
    void lose_file(const std::string& owner, const std::string& repo, const std::string& path);
    std::optional<StoredFile> file(const std::string& owner, const std::string& repo, const std::string& path) const;
    std::size_t file_count(const std::string& owner, const std::string& repo) const;
    // "…/contents/" + path: the download address this service gives a new file.
    std::string download_url(const std::string& owner, const std::string& repo, const std::string& path) const;

    std::vector<ServiceRequest> requests() const;
    // Requests whose method matches and whose path starts with path_prefix.
    std::size_t count_requests(const std::string& method, const std::string& path_prefix = "/") const;
    // Waits (bounded) until at least n requests have been recorded.
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    void forget_requests();

    // Runs until stop() or destruction; for the standalone program.
    void wait() const;
    void stop();

    // The handling of one request, transport aside.
    ServiceAnswer handle(const ServiceRequest& request);

private:
    void accept_loop();
    void serve_connection(int fd);
    void record(const ServiceRequest& request);
    ServiceAnswer create_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                              const std::string& path);
    ServiceAnswer clear(const ServiceRequest& request, const std::string& owner, const std::string& repo);
    ServiceAnswer read_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                            const std::string& path) const;
    ServiceAnswer delete_file(const ServiceRequest& request, const std::string& owner, const std::string& repo,
                              const std::string& path);
    ServiceAnswer raw_file(const std::string& owner, const std::string& repo, const std::string& path) const;
    void deliver(int fd, const ServiceAnswer& answer);
    std::optional<ServiceAnswer> raw_quirk(const ServiceRequest& request);
    bool token_accepted(const std::string& token) const;
    void start_tls(int port);

    Transport transport_;
    std::string certificate_pem_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread accept_thread_;
    std::vector<int> open_fds_;
    int active_connections_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::string token_;
    std::string branch_ = "master";
    ClearMode clear_mode_ = ClearMode::automatic;
    std::chrono::milliseconds create_delay_{0};
    MissingPath missing_path_ = MissingPath::empty_array;
    std::map<std::string, std::deque<ServiceAnswer>> presets_;
    std::map<std::string, std::deque<Delivery>> deliveries_;
    std::map<std::string, StoredFile> files_; // key owner/repo/path
    std::vector<ServiceRequest> requests_;
    std::string raw_host_;
    std::size_t sign_in_above_ = 0;
    bool icon_for_foreign_referer_ = false;
    std::chrono::milliseconds raw_delay_{0};

    struct Tls;
    std::unique_ptr<Tls> tls_;
};

// Standard Base64 encoding, with "=" padding.
std::string base64_encode(const std::string& bytes);
// Standard Base64 decoding; characters outside the alphabet are skipped.
std::string base64_decode(const std::string& text);
// git's object name of a file: SHA-1 of "blob <size>\0" + bytes, 40 lower-case hex digits.
std::string git_blob_sha1(const std::string& bytes);

} // namespace velpic::test
