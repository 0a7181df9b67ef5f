// How the local upload server listens: address, port, key and the bounds every request is held to.
#pragma once

#include "runtime/loopback_host.h"

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
    int workers = 8;                              // requests served at once; complete ones wait in line
    int max_connections = 256;                    // open at once; beyond, the longest idle one is closed
    std::size_t max_header_lines = 100;           // more, or a longer head, gets 431
    std::size_t max_head_bytes = 64 * 1024;
    std::chrono::milliseconds head_deadline{10000};       // for a whole request head (and between kept-alive requests)
    std::chrono::milliseconds body_idle_limit{10000};     // longest pause while a body arrives
    std::chrono::milliseconds write_deadline{30000};      // for an answer to be taken
    std::chrono::milliseconds download_deadline{60000};   // for a whole picture download
    std::chrono::milliseconds download_idle_limit{15000}; // longest pause in a picture download
};

// Why these options cannot be served (UTF-8), or empty: a port outside 0..65535, no workers, or a host beyond
// this machine without a key.
std::string check_server_options(const ServerOptions& options);

} // namespace velpic
