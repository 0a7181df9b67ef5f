#include "runtime/loopback_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>

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

} // namespace velpic
