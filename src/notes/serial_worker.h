// One thread that runs the tasks given to it in their order, beside the thread that gives them: work whose result
// is needed only later (reading a rewritten note as the next run would) overlaps the giver's own.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace velpic {

class SerialWorker {
public:
    SerialWorker() = default;
    ~SerialWorker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // The task must not throw; the thread starts with the first task.
    void submit(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
        }
        wake_.notify_all();
    }

    // Returns once every task given so far has run.
    void wait_idle() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return tasks_.empty() && !running_; });
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty())
                return; // stopping, with nothing left to run
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            running_ = true;
            lock.unlock();
            task();
            lock.lock();
            running_ = false;
            if (tasks_.empty())
                idle_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace velpic
