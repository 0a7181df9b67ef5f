// How the local upload server listens: address, port, key and the bounds every request is held to.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velpic {

inline constexpr int kDefaultServerPort = 36677;

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = kDefaultServerPort;                // 0: any free port
    std::string key;                              // empty: none, and then only a loopback host may be listened on
    std::size_t payload_limit = 64 * 1024 * 1024; // a request body, and each picture downloaded for a request
    int workers = 4;                              // requests served at once; more wait in line
    std::chrono::seconds read_timeout{30};
    std::chrono::seconds write_timeout{30};
};

// 127.0.0.0/8, ::1 (also as ::ffff:127.x.x.x) and "localhost".
bool is_loopback_host(std::string_view host);

// Why these options cannot be served (UTF-8), or empty: a port outside 0..65535, no workers, or a host beyond
// this machine without a key.
std::string check_server_options(const ServerOptions& options);

} // namespace velpic
