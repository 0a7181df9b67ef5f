// Whether a host name is this machine's own loopback address.
#pragma once

#include <string_view>

namespace velpic {

// 127.0.0.0/8, ::1 (also as ::ffff:127.x.x.x) and "localhost".
bool is_loopback_host(std::string_view host);

} // namespace velpic
