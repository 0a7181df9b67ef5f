// A private MariaDB server for the tests: its own data directory, socket and loopback port, started on first use
// and stopped (data directory removed) when the test process exits. What a killed test process left behind is
// removed by the next start.
#pragma once

#include "records/mysql_settings.h"

#include <optional>
#include <string>
#include <vector>

namespace velpic::test {

using SqlRow = std::vector<std::optional<std::string>>; // NULL columns are nullopt

class MariaDbServer {
public:
    MariaDbServer();
    ~MariaDbServer();
    MariaDbServer(const MariaDbServer&) = delete;
    MariaDbServer& operator=(const MariaDbServer&) = delete;

    // False when the server could not be started; error() then says why (tests should fail with it).
    bool running() const { return running_; }
    const std::string& error() const { return error_; }

    const std::string& host() const { return host_; } // "127.0.0.1"
    int port() const { return port_; }
    const std::string& user() const { return user_; } // has every privilege, password required
    const std::string& password() const { return password_; }
    const std::string& socket_path() const { return socket_path_; }

    // A new empty database with a unique name; the test user may do anything in it.
    std::string create_database();
    void drop_database(const std::string& name);

    // Statements as the server's administrator, over the socket, with the UTF-8 connection character set.
    // Return false / nullopt on failure and put the server's message into *error when given.
    bool admin_execute(const std::string& sql, std::string* error = nullptr);
    std::optional<std::vector<SqlRow>> admin_query(const std::string& sql, std::string* error = nullptr);

    // A loopback port on which nothing listens (for connection failures).
    static int unused_port();

private:
    bool start();
    void stop();

    bool running_ = false;
    std::string error_;
    std::string host_ = "127.0.0.1";
    int port_ = 0;
    std::string user_ = "velpic_test";
    std::string password_ = "Velpic-test-pw1";
    std::string base_dir_;
    std::string socket_path_;
    int pid_ = -1;
    int owner_pid_ = -1; // the process that started the server; a forked child must not stop it
    int database_serial_ = 0;
};

// The process-wide server, started on the first call (thread-safe).
MariaDbServer& shared_mariadb();

// A fresh database on the shared server for one test, dropped when this object goes away.
class TestDatabase {
public:
    TestDatabase();
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    bool ok() const { return !name_.empty(); }
    const std::string& name() const { return name_; }
    // Connection settings of the test user over TCP, ready for the record store.
    MysqlSettings settings() const;

private:
    std::string name_;
};

} // namespace velpic::test
