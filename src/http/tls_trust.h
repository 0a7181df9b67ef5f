// How a libcurl handle decides whether to trust a server's certificate, for every request of the program.
#pragma once

#include <curl/curl.h>

namespace velpic {

// verify false: certificate errors never stop a request. verify true: the peer certificate and host name must
// verify against the CAs libcurl trusts plus the bundle named by VELPIC_CA_FILE. Those CAs are parsed once per
// process and bundle and shared by every connection, instead of once for each connection libcurl opens.
void set_tls_verification(CURL* handle, bool verify);

} // namespace velpic
