// `velpic serve [--host H] [--port N] [--key K]`: the editors' upload server in the foreground, until SIGINT or
// SIGTERM; the uploads in hand are finished before it ends.
#include "cli/commands.h"

#include "cli/command_options.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "server/server_failure_text.h"
#include "server/upload_server.h"
#include "settings/stored_settings.h"

#include <pthread.h>
#include <signal.h>

#include <mutex>

namespace velpic {

namespace {

bool parse_port(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(text);
    return port <= 65535;
}

// SIGINT and SIGTERM are taken by sigwait on one thread. They are blocked before any other thread exists (the
// display's included), so that none of them is killed by the default action instead.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~StopSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int wait() const {
        int signal = 0;
        sigwait(&set_, &signal);
        return signal;
    }

private:
    sigset_t set_{};
    sigset_t previous_{};
};

int run(const std::vector<std::string>& args, CommandIo& io) {
    // The stored server settings are the defaults, so that `velpic config set server-port ...` applies here too.
    const StateSnapshot settings = stored_settings();
    ServerOptions options;
    const int stored_port = settings.editor_server.port;
    options.port = stored_port >= 1 && stored_port <= 65535 ? stored_port : kDefaultServerPort; // 0 would pick any
    options.key = to_utf8(settings.editor_server.key);
    std::string port_text;
    std::vector<std::string> operands;
    std::string why;
    CommandOptions parser;
    parser.value("--host", &options.host).value("--port", &port_text).value("--key", &options.key);
    if (!parser.parse(args, operands, why) || !operands.empty()) {
        io.err << "velpic serve: " << (why.empty() ? "unexpected argument " + operands.front() : why) << "\n";
        print_short_usage(io.err, &serve_command);
        return 2;
    }
    if (!port_text.empty() && !parse_port(port_text, options.port)) {
        io.err << "velpic serve：--port 须是 0 到 65535 的数字\n";
        return 2;
    }

    StopSignals signals;
    std::shared_ptr<ClipboardSource> clipboard = io.desktop.clipboard(why);
    if (!clipboard)
        io.err << "velpic serve：" << why << "；剪贴板上传将会失败\n";

    std::mutex log_mutex;
    UploadServer server(
        options, [] { return upload_context(stored_settings(), program_dir()); }, clipboard,
        [&](const std::string& line) {
            std::lock_guard lock(log_mutex);
            io.err << line << "\n" << std::flush;
        });
    // Its start and its log speak as the window does.
    if (std::string failure = server.start(); !failure.empty()) {
        io.err << "velpic serve：" << server_failure_in_chinese(failure) << "\n";
        return 1;
    }
    {
        std::lock_guard lock(log_mutex);
        io.err << "velpic serve：正在监听 http://" << options.host << ":" << server.port()
               << "/（POST /upload、GET /heartbeat" << (options.key.empty() ? "" : "，须带 ?key=密钥")
               << "）；按 Ctrl+C 停止\n"
               << std::flush;
    }
    return io.desktop.run_beside_clipboard([&] {
        const int signal = signals.wait();
        {
            std::lock_guard lock(log_mutex);
            io.err << "velpic serve：" << (signal == SIGINT ? "SIGINT" : "SIGTERM")
                   << "，正在完成手头的上传\n"
                   << std::flush;
        }
        server.stop();
        std::lock_guard lock(log_mutex);
        io.err << "velpic serve：已停止\n" << std::flush;
        return 0;
    });
}

} // namespace

const Command serve_command{
    "serve",
    "serve [--host H] [--port N] [--key K]",
    "runs the upload server that Markdown editors call (POST /upload, GET /heartbeat) in the\n"
    "         foreground until SIGINT or SIGTERM; one line per request on standard error. Host 127.0.0.1,\n"
    "         port and key as stored (default port 36677, no key; --port 0 picks a free port). A host\n"
    "         other than this machine needs a key; every request must then carry ?key=KEY.",
    run,
};

} // namespace velpic
