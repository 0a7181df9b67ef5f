// A program run as a child process, for what only a whole process shows: exit statuses, the refusal to open a
// window without a display, signals, and kills at random moments.
#pragma once

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <sys/types.h>
#include <vector>

namespace velpic::test {

class ChildProcess {
public:
    // env: "NAME=VALUE" sets, "NAME" alone removes; the rest of this process's environment is passed on.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
    ~ChildProcess(); // kills it if it still runs

    pid_t pid() const { return pid_; }
    void signal(int number) const;

    // Reads its standard or error output until a line holding text has arrived; that line, or nullopt after bound.
    std::optional<std::string> wait_for_output_line(const std::string& text,
                                                    std::chrono::milliseconds bound = std::chrono::seconds(20));
    std::optional<std::string> wait_for_error_line(const std::string& text,
                                                   std::chrono::milliseconds bound = std::chrono::seconds(20));
    // Lets it run for while (busy-waiting: a sleep would be far coarser than the moments a kill test aims at), then
    // kills it and reaps it. True when it had already ended on its own with status 0.
    bool kill_after(std::chrono::microseconds while_running);
    // Lets it run to its end, watched as kill_after watches it (busy, so that it runs at the pace it has when it is
    // killed); the time from the call to its end, or nullopt when it did not end with status 0 within bound.
    std::optional<std::chrono::microseconds> time_to_exit(std::chrono::milliseconds bound = std::chrono::seconds(30));
    // Reads both outputs to their end and reaps it; its exit status (or 128 + signal), nullopt after bound.
    std::optional<int> wait_for_exit(std::chrono::milliseconds bound = std::chrono::seconds(30));

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    // Takes what is ready on the pipes, waiting at most wait; false once both have ended.
    bool pump(std::chrono::milliseconds wait);
    std::optional<std::string> wait_for_line(const std::string& output, std::size_t& seen, const std::string& text,
                                             std::chrono::milliseconds bound);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_, err_;
    std::size_t out_seen_ = 0, err_seen_ = 0;
    std::optional<int> status_;
};

// A moment to kill a child at, spread evenly over the time a run of it left alone took on this machine just before
// (took) and a quarter of it beyond: kills then land before, inside and after its work at whatever pace the machine
// keeps, where a fixed window would miss the late part on a busy machine.
std::chrono::microseconds kill_moment(std::chrono::microseconds took, std::mt19937& random);

// The same time for a child that is no ChildProcess (a fork): waits for pid busily; nullopt when it did not end
// with status 0 within bound.
std::optional<std::chrono::microseconds> time_to_exit(pid_t pid,
                                                      std::chrono::milliseconds bound = std::chrono::seconds(30));

} // namespace velpic::test
