#include "server/server_options.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace velpic {

bool is_loopback_host(std::string_view host) {
    const std::string text(host);
    if (text == "localhost")
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

std::string check_server_options(const ServerOptions& options) {
    if (options.port < 0 || options.port > 65535)
        return "the port must be a number from 1 to 65535";
    if (options.workers < 1)
        return "the server needs at least one worker";
    if (options.max_connections < options.workers)
        return "the server must take at least as many connections as it has workers";
    if (options.host.empty())
        return "no address to listen on";
    if (!is_loopback_host(options.host) && options.key.empty())
        return "listening on " + options.host + " would let other machines upload; set a key first";
    return {};
}

} // namespace velpic
