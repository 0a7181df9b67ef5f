#include "support/mariadb_server.h"

#include <mysql.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace velpic::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string find_program(std::initializer_list<const char*> names) {
    std::vector<std::string> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream in(path);
        for (std::string dir; std::getline(in, dir, ':');)
            if (!dir.empty())
                dirs.push_back(dir);
    }
    for (const char* extra : {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin", "/usr/libexec"})
        dirs.emplace_back(extra);
    for (const char* name : names)
        for (const auto& dir : dirs) {
            std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
    return {};
}

std::string read_tail(const fs::path& file, std::size_t max_bytes = 2000) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.size() > max_bytes ? text.substr(text.size() - max_bytes) : text;
}

// Starts program with args, its output appended to log. Started from the main thread, the child dies with the
// test process, so a crashed run leaves no server behind (the signal follows the starting thread, so a child
// started elsewhere relies on the normal stop at exit).
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const fs::path& log) {
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string log_path = log.string();
    pid_t parent = getpid();
    bool main_thread = gettid() == parent;

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (main_thread) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
    }
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
    }
    execv(argv[0], argv.data());
    _exit(127);
}

// Waits up to timeout for the child; -1 when it is still running, else its exit status.
int wait_for_exit(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0)
            return 255;
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

constexpr const char* kDirPrefix = "velpic-mariadb-";
constexpr const char* kOwnerFile = "owner.pid";

bool process_alive(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Whether the process's command line names dir (so a recycled process id is never taken for our server).
bool process_uses(pid_t pid, const std::string& dir) {
    std::string cmdline = read_tail("/proc/" + std::to_string(pid) + "/cmdline", 1 << 16);
    return cmdline.find(dir) != std::string::npos;
}

// A test process that crashed or was killed leaves its directory behind, and its server too when the server was
// not started from the main thread. Both are cleared once the process that made them is gone.
void remove_abandoned_servers() {
    std::error_code ec;
    for (fs::directory_iterator it("/tmp", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kDirPrefix, 0) != 0)
            continue;
        std::ifstream owner_in(it->path() / kOwnerFile);
        long owner = 0;
        if (!(owner_in >> owner) || process_alive(static_cast<pid_t>(owner)))
            continue; // still being set up, or still in use
        const std::string dir = it->path().string();
        std::ifstream pid_in(it->path() / "mysqld.pid");
        long server = 0;
        if (pid_in >> server && process_alive(static_cast<pid_t>(server)) &&
            process_uses(static_cast<pid_t>(server), dir))
            kill(static_cast<pid_t>(server), SIGKILL);
        std::error_code ignored;
        fs::remove_all(it->path(), ignored);
    }
}

std::string quoted_literal(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

} // namespace

int MariaDbServer::unused_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int port = 0;
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

MariaDbServer::MariaDbServer() : owner_pid_(getpid()) {
    running_ = start();
    if (!running_)
        stop();
}

MariaDbServer::~MariaDbServer() {
    stop();
}

bool MariaDbServer::start() {
    std::string server_program = find_program({"mariadbd", "mysqld"});
    std::string install_program = find_program({"mariadb-install-db", "mysql_install_db"});
    if (server_program.empty() || install_program.empty()) {
        error_ = "mariadbd or mariadb-install-db not found (install the mariadb-server package)";
        return false;
    }

    // The socket path must stay short (sun_path holds 108 bytes), so the directory goes under /tmp.
    remove_abandoned_servers();
    std::string pattern = std::string("/tmp/") + kDirPrefix + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        error_ = std::string("cannot create a data directory: ") + std::strerror(errno);
        return false;
    }
    base_dir_ = pattern;
    fs::path base = base_dir_;
    std::ofstream(base / kOwnerFile) << getpid() << "\n";
    socket_path_ = (base / "mysqld.sock").string();
    bool as_root = geteuid() == 0;

    // A private tmpdir: a starting server deletes every "#sql*" file in its tmpdir, including another test
    // server's (the installer's bootstrap server included). The installer looks the host's name up unless
    // forced, and stops where neither it nor localhost resolves (containers without /etc/hosts); the server
    // is reached by socket and 127.0.0.1 only, so no name is needed: --force skips the lookup and
    // --skip-name-resolve keeps the bootstrap from resolving names too.
    std::vector<std::string> install_args{"--no-defaults",
                                          "--datadir=" + (base / "data").string(),
                                          "--tmpdir=" + base_dir_,
                                          "--force",
                                          "--skip-name-resolve",
                                          "--auth-root-authentication-method=normal",
                                          "--skip-test-db",
                                          "--innodb-log-file-size=8M",
                                          "--innodb-use-native-aio=0"};
    if (as_root)
        install_args.push_back("--user=root");
    pid_t installer = spawn(install_program, install_args, base / "install.log");
    if (installer < 0) {
        error_ = "cannot start " + install_program;
        return false;
    }
    int status = wait_for_exit(installer, std::chrono::seconds(120));
    if (status != 0) {
        if (status < 0) {
            kill(installer, SIGKILL);
            waitpid(installer, nullptr, 0);
        }
        error_ = install_program + " failed: " + read_tail(base / "install.log");
        return false;
    }

    // A port picked in advance may be taken by someone else before the server binds it: try a few.
    for (int attempt = 0; attempt < 4; ++attempt) {
        port_ = unused_port();
        // A fresh log per attempt, so the reason read back below is this attempt's.
        std::error_code ignored;
        fs::remove(base / "error.log", ignored);
        // Native AIO is off: containers often forbid io_uring or cap locked memory, and plain file I/O is fast
        // enough for a few rows.
        std::vector<std::string> args{"--no-defaults",
                                      "--datadir=" + (base / "data").string(),
                                      "--socket=" + socket_path_,
                                      "--port=" + std::to_string(port_),
                                      "--bind-address=127.0.0.1",
                                      "--pid-file=" + (base / "mysqld.pid").string(),
                                      "--log-error=" + (base / "error.log").string(),
                                      "--tmpdir=" + base_dir_,
                                      "--skip-name-resolve",
                                      "--character-set-server=utf8mb4",
                                      "--collation-server=utf8mb4_general_ci",
                                      "--innodb-log-file-size=8M",
                                      "--innodb-buffer-pool-size=16M",
                                      "--innodb-flush-log-at-trx-commit=0",
                                      "--innodb-doublewrite=0",
                                      "--innodb-use-native-aio=0"};
        if (as_root)
            args.push_back("--user=root");
        pid_ = spawn(server_program, args, base / "server.log");
        if (pid_ < 0) {
            error_ = "cannot start " + server_program;
            return false;
        }

        auto deadline = Clock::now() + std::chrono::seconds(90);
        bool ready = false;
        bool exited = false;
        while (Clock::now() < deadline) {
            if (wait_for_exit(pid_, std::chrono::milliseconds(0)) >= 0) {
                exited = true;
                pid_ = -1;
                break;
            }
            if (admin_execute("SELECT 1")) {
                ready = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (ready)
            break;
        std::string log = read_tail(base / "error.log");
        if (exited && log.find("already in use") != std::string::npos)
            continue;
        error_ = exited ? "mariadbd exited: " + log : "mariadbd did not accept connections in time: " + log;
        return false;
    }
    if (pid_ < 0) {
        error_ = "mariadbd found no free port";
        return false;
    }

    std::string grants;
    for (const char* from : {"%", "localhost"}) {
        std::string account = quoted_literal(user_) + "@" + quoted_literal(from);
        if (!admin_execute("CREATE USER " + account + " IDENTIFIED BY " + quoted_literal(password_), &error_) ||
            !admin_execute("GRANT ALL PRIVILEGES ON *.* TO " + account, &error_))
            return false;
    }
    return true;
}

void MariaDbServer::stop() {
    // A forked child (a death test that calls exit) runs this destructor too; the server is its parent's.
    if (getpid() != owner_pid_)
        return;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (wait_for_exit(pid_, std::chrono::seconds(30)) < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    running_ = false;
    if (!base_dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(base_dir_, ignored);
        base_dir_.clear();
    }
}

std::optional<std::vector<SqlRow>> MariaDbServer::admin_query(const std::string& sql, std::string* error) {
    MYSQL* connection = mysql_init(nullptr);
    if (connection == nullptr) {
        if (error)
            *error = "mysql_init failed";
        return std::nullopt;
    }
    mysql_options(connection, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    // A hung server fails the test instead of stalling the run.
    const unsigned connect_timeout = 10, io_timeout = 120;
    mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_options(connection, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
    mysql_options(connection, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);
    std::optional<std::vector<SqlRow>> rows;
    if (mysql_real_connect(connection, nullptr, "root", nullptr, nullptr, 0, socket_path_.c_str(), 0) != nullptr &&
        mysql_real_query(connection, sql.data(), sql.size()) == 0) {
        rows.emplace();
        if (MYSQL_RES* result = mysql_store_result(connection)) {
            unsigned columns = mysql_num_fields(result);
            while (MYSQL_ROW row = mysql_fetch_row(result)) {
                unsigned long* lengths = mysql_fetch_lengths(result);
                SqlRow& out = rows->emplace_back();
                for (unsigned i = 0; i < columns; ++i)
                    out.push_back(row[i] ? std::optional<std::string>(std::string(row[i], lengths[i])) : std::nullopt);
            }
            mysql_free_result(result);
        } else if (mysql_field_count(connection) != 0) {
            rows.reset();
        }
    }
    if (!rows && error)
        *error = mysql_error(connection);
    mysql_close(connection);
    return rows;
}

bool MariaDbServer::admin_execute(const std::string& sql, std::string* error) {
    return admin_query(sql, error).has_value();
}

std::string MariaDbServer::create_database() {
    static std::mutex serial_mutex;
    std::string name;
    {
        std::lock_guard lock(serial_mutex);
        name = "velpic_test_" + std::to_string(++database_serial_);
    }
    if (!admin_execute("CREATE DATABASE `" + name + "`"))
        return {};
    return name;
}

void MariaDbServer::drop_database(const std::string& name) {
    admin_execute("DROP DATABASE IF EXISTS `" + name + "`");
}

MariaDbServer& shared_mariadb() {
    static MariaDbServer server;
    return server;
}

TestDatabase::TestDatabase() {
    if (shared_mariadb().running())
        name_ = shared_mariadb().create_database();
}

TestDatabase::~TestDatabase() {
    if (!name_.empty())
        shared_mariadb().drop_database(name_);
}

MysqlSettings TestDatabase::settings() const {
    const MariaDbServer& server = shared_mariadb();
    MysqlSettings settings;
    settings.server = server.host();
    settings.port = server.port();
    settings.user = server.user();
    settings.password = server.password();
    settings.database = name_;
    return settings;
}

} // namespace velpic::test
