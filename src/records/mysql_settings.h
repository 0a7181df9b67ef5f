// Where the shared record table lives. Plain values: callers keep their own copy for the length of an operation.
#pragma once

#include <string>

namespace velpic {

struct MysqlSettings {
    std::string server; // host name or address; empty means the client library's default (local socket)
    int port = 0;       // 0 means the default port
    std::string user;
    std::string password; // plain text
    std::string database;
};

} // namespace velpic
