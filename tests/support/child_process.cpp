#include "support/child_process.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace velpic::test {

namespace {

std::vector<std::string> environment_with(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry)
        result.emplace_back(*entry);
    for (const std::string& change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(result, [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
        if (change.find('=') != std::string::npos)
            result.push_back(change);
    }
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    const std::vector<std::string> environment = environment_with(env);
    std::vector<char*> argv, envp;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, STDIN_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

void ChildProcess::signal(int number) const {
    if (pid_ > 0)
        ::kill(pid_, number);
}

bool ChildProcess::pump(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0)
        return false;
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        int& fd = i == 0 ? out_fd_ : err_fd_;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    return true;
}

std::optional<std::string> ChildProcess::wait_for_line(const std::string& output, std::size_t& seen,
                                                       const std::string& text, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
        for (std::size_t end; (end = output.find('\n', seen)) != std::string::npos; seen = end + 1) {
            const std::string line = output.substr(seen, end - seen);
            if (line.find(text) != std::string::npos) {
                seen = end + 1;
                return line;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline || !pump(std::chrono::milliseconds(100)))
            return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::wait_for_output_line(const std::string& text,
                                                              std::chrono::milliseconds bound) {
    return wait_for_line(out_, out_seen_, text, bound);
}

std::optional<std::string> ChildProcess::wait_for_error_line(const std::string& text, std::chrono::milliseconds bound) {
    return wait_for_line(err_, err_seen_, text, bound);
}

bool ChildProcess::kill_after(std::chrono::microseconds while_running) {
    const auto until = std::chrono::steady_clock::now() + while_running;
    while (std::chrono::steady_clock::now() < until) {
    }
    signal(SIGKILL);
    return wait_for_exit() == 0;
}

std::optional<std::chrono::microseconds> ChildProcess::time_to_exit(std::chrono::milliseconds bound) {
    if (status_)
        return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + bound;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        const auto now = std::chrono::steady_clock::now();
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            wait_for_exit(); // takes the rest of its outputs
            if (status_ != 0)
                return std::nullopt;
            return std::chrono::duration_cast<std::chrono::microseconds>(now - start);
        }
        if (now >= deadline)
            return std::nullopt;
        // Output it writes meanwhile must not fill a pipe and stall it.
        pump(std::chrono::milliseconds(0));
    }
}

std::chrono::microseconds kill_moment(std::chrono::microseconds took, std::mt19937& random) {
    const auto span = static_cast<std::uint64_t>(std::max<std::int64_t>(1, took.count() * 5 / 4));
    return std::chrono::microseconds(static_cast<std::int64_t>(random() % span));
}

std::optional<std::chrono::microseconds> time_to_exit(pid_t pid, std::chrono::milliseconds bound) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        const auto now = std::chrono::steady_clock::now();
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0
                       ? std::optional(std::chrono::duration_cast<std::chrono::microseconds>(now - start))
                       : std::nullopt;
        if (done < 0 || now >= start + bound)
            return std::nullopt;
    }
}

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (pump(std::chrono::milliseconds(100))) {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
    }
    while (!status_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        else if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10)); // its outputs have ended; it is exiting
    }
    return status_;
}

} // namespace velpic::test
