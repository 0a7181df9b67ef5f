// The stand-in's imitations of how the real service treats raw-file downloads: another host for the bytes, a
// sign-in page for large files, its icon for other sites' visitors; and what the link check's tests measure.
#include "support/test_service.h"

#include <algorithm>
#include <set>

namespace velpic::test {

namespace {

// "name" of "name:port", "[v6]:port" or "name".
std::string host_name(const std::string& authority) {
    if (!authority.empty() && authority.front() == '[')
        return authority.substr(0, authority.find(']') + 1);
    return authority.substr(0, authority.find(':'));
}

// The host of an absolute address, empty when it has none.
std::string address_host(const std::string& address) {
    const std::size_t start = address.find("://");
    if (start == std::string::npos)
        return {};
    const std::string rest = address.substr(start + 3);
    return host_name(rest.substr(0, rest.find_first_of("/?#")));
}

ServiceAnswer redirect_to(const std::string& location) {
    ServiceAnswer answer;
    answer.status = 302;
    answer.reason = "Found";
    answer.headers = {{"Location", location}, {"Content-Type", "text/html; charset=utf-8"}};
    answer.body = "<html><body>You are being <a href=\"" + location + "\">redirected</a>.</body></html>";
    return answer;
}

} // namespace

void TestService::set_raw_host(const std::string& host) {
    std::lock_guard lock(mutex_);
    raw_host_ = host;
}

void TestService::set_sign_in_above(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    sign_in_above_ = bytes;
}

void TestService::set_icon_for_foreign_referer(bool on) {
    std::lock_guard lock(mutex_);
    icon_for_foreign_referer_ = on;
}

void TestService::set_raw_delay(std::chrono::milliseconds delay) {
    {
        std::lock_guard lock(mutex_);
        raw_delay_ = delay;
    }
    changed_.notify_all();
}

std::string TestService::icon_bytes() {
    // An ICO header with one 16 x 16 entry and a little of its image: no picture signature of the four types.
    static const std::string icon("\x00\x00\x01\x00\x01\x00\x10\x10\x00\x00\x01\x00\x20\x00\x68\x04\x00\x00\x16\x00"
                                  "\x00\x00\x28\x00\x00\x00\x10\x00\x00\x00\x20\x00\x00\x00\x01\x00\x20\x00",
                                  38);
    return icon;
}

std::size_t TestService::connection_count() const {
    std::lock_guard lock(mutex_);
    std::set<std::string> peers;
    for (const ServiceRequest& request : requests_)
        peers.insert(request.peer);
    return peers.size();
}

std::optional<ServiceAnswer> TestService::raw_quirk(const ServiceRequest& request) {
    std::unique_lock lock(mutex_);
    if (sign_in_above_ > 0 && request.method == "GET" && request.path == "/login") {
        ServiceAnswer page;
        page.headers = {{"Content-Type", "text/html; charset=utf-8"}};
        page.body = "<!DOCTYPE html><html><head><title>Sign in</title></head><body><form action=\"/login\" "
                    "method=\"post\"><input name=\"user[login]\"><input type=\"password\"></form></body></html>";
        return page;
    }
    // /{owner}/{repo}/raw/{branch}/{path}
    const std::size_t raw = request.path.find("/raw/");
    if (request.method != "GET" || raw == std::string::npos || raw == 0 ||
        std::count(request.path.begin(), request.path.begin() + static_cast<long>(raw), '/') != 2)
        return std::nullopt;
    const std::string scheme = transport_ == Transport::tls ? "https://" : "http://";
    const std::string port = ":" + std::to_string(port_);

    if (!raw_host_.empty() && host_name(request.header("Host")) != raw_host_)
        return redirect_to(scheme + raw_host_ + port + request.target);
    if (const std::chrono::milliseconds delay = raw_delay_; delay.count() > 0)
        changed_.wait_for(lock, delay, [this] { return stopping_ || raw_delay_.count() == 0; });
    if (sign_in_above_ > 0) {
        const std::size_t branch_end = request.path.find('/', raw + 5);
        const std::string owner_repo = request.path.substr(1, raw - 1);
        const auto it = branch_end == std::string::npos
                            ? files_.end()
                            : files_.find(owner_repo + "/" + request.path.substr(branch_end + 1));
        if (it != files_.end() && it->second.bytes.size() > sign_in_above_)
            return redirect_to(scheme + "127.0.0.1" + port + "/login?redirect_to_url=" + request.target);
    }
    if (icon_for_foreign_referer_) {
        const std::string referer_host = address_host(request.header("Referer"));
        if (!request.header("Referer").empty() && referer_host != "127.0.0.1" && referer_host != "localhost") {
            ServiceAnswer icon;
            icon.headers = {{"Content-Type", "image/x-icon"}};
            icon.body = icon_bytes();
            return icon;
        }
    }
    return std::nullopt;
}

} // namespace velpic::test
