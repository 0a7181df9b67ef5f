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

    // Every value the record list needs before it asks the server (the connection test asks with any values).
    bool complete() const {
        return !server.empty() && !user.empty() && !password.empty() && !database.empty() && port != 0;
    }
};

} // namespace velpic
