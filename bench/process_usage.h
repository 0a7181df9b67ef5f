// Runs a program as a child process and measures it as /usr/bin/time does: CPU time (user + system) and peak
// resident memory, both from wait4. The parent should hold little memory of its own when it starts one: a forked
// child starts with a copy of the parent's private pages, and the kernel counts them in the child's peak.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

struct ChildUsage {
    int exit_status = -1; // 128 + signal when killed
    double cpu_seconds = 0;
    double wall_seconds = 0;
    long peak_kb = 0;
};

// argv[0] is looked up in PATH. env: "NAME=VALUE" entries added to this process's environment. Standard output
// and error go to the named files (created or truncated), standard input is /dev/null.
inline ChildUsage run_measured(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                               const std::string& out_file = "/dev/null", const std::string& err_file = "/dev/null") {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    ChildUsage usage;
    if (pid < 0)
        return usage;
    int status = 0;
    rusage resources{};
    if (wait4(pid, &status, 0, &resources) != pid)
        return usage;
    usage.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    usage.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usage.cpu_seconds = static_cast<double>(resources.ru_utime.tv_sec + resources.ru_stime.tv_sec) +
                        static_cast<double>(resources.ru_utime.tv_usec + resources.ru_stime.tv_usec) / 1e6;
    usage.peak_kb = resources.ru_maxrss;
    return usage;
}

inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace bench
