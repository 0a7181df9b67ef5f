#include "server/server_options.h"

namespace velpic {

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
