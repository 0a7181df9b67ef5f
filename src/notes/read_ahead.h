// Work on a list done ahead by a few threads and handed over in the list's order: the notes of a run are read and
// parsed while the earlier ones are decided on, and every message still comes in the notes' order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace velpic {

template <class Result> class ReadAhead {
public:
    struct Bounds {
        unsigned threads = 2;
        std::size_t window = 1024;            // results done or under way ahead of the one taken
        std::size_t bytes = 64 * 1024 * 1024; // weight of the results waiting, beyond which no new one starts
    };

    // work(i) for every i below count; weight(result) is what a waiting result holds (its bytes).
    ReadAhead(std::size_t count, std::function<Result(std::size_t)> work,
              std::function<std::size_t(const Result&)> weight, Bounds bounds)
        : count_(count), work_(std::move(work)), weight_(std::move(weight)), bounds_(bounds) {
        const unsigned threads = std::max(1u, std::min<unsigned>(bounds_.threads, static_cast<unsigned>(count_)));
        for (unsigned t = 0; t < threads && count_ > 0; ++t)
            threads_.emplace_back([this] { run(); });
    }

    ~ReadAhead() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        room_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The result of index, which must be the next one not yet taken. A failure of its work is thrown here.
    Result take(std::size_t index) {
        std::unique_lock lock(mutex_);
        taken_ = index;
        if (done_.count(index) == 0) {
            if (idle_workers_ > 0)
                room_.notify_all();
            consumer_waiting_ = true;
            ready_.wait(lock, [&] { return done_.count(index) != 0; });
            consumer_waiting_ = false;
        }
        auto node = done_.extract(index);
        waiting_bytes_ -= node.mapped().weight;
        ++taken_;
        // Workers held back by the window or the bytes may go on; none is woken when none waits.
        if (idle_workers_ > 0)
            room_.notify_all();
        lock.unlock();
        if (node.mapped().failure)
            std::rethrow_exception(node.mapped().failure);
        return std::move(node.mapped().result);
    }

private:
    struct Done {
        Result result{};
        std::size_t weight = 0;
        std::exception_ptr failure;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            // The index the consumer waits for always starts: every waiting result lies after it.
            const auto may_start = [&] {
                return stopping_ || next_ >= count_ ||
                       (next_ < taken_ + bounds_.window && (next_ == taken_ || waiting_bytes_ < bounds_.bytes));
            };
            if (!may_start()) {
                ++idle_workers_;
                room_.wait(lock, may_start);
                --idle_workers_;
            }
            if (stopping_ || next_ >= count_)
                return;
            const std::size_t index = next_++;
            ++busy_;
            lock.unlock();
            Done done;
            try {
                done.result = work_(index);
                done.weight = weight_(done.result);
            } catch (...) {
                done.failure = std::current_exception();
            }
            lock.lock();
            waiting_bytes_ += done.weight;
            done_.emplace(index, std::move(done));
            --busy_;
            // A waiting consumer is woken for a few results at once (a wake-up costs more than a short note's
            // parse), or for what there is once no thread is at work. A slow result keeps the few ready before it
            // waiting with it: at most kHandOver - 1.
            if (consumer_waiting_ && (busy_ == 0 || ready_in_a_row() >= kHandOver))
                ready_.notify_one();
        }
    }

    static constexpr std::size_t kHandOver = 8;

    // How many results from the one the consumer takes next are done, one after another (at most kHandOver).
    std::size_t ready_in_a_row() const {
        std::size_t ready = 0;
        for (auto at = done_.find(taken_); at != done_.end() && at->first == taken_ + ready && ready < kHandOver; ++at)
            ++ready;
        return ready;
    }

    const std::size_t count_;
    const std::function<Result(std::size_t)> work_;
    const std::function<std::size_t(const Result&)> weight_;
    const Bounds bounds_;
    std::mutex mutex_;
    std::condition_variable ready_; // the consumer waits here for the result it takes
    std::condition_variable room_;  // workers wait here for the window or the bytes to allow another start
    std::map<std::size_t, Done> done_;
    std::size_t next_ = 0;  // the next index to start
    std::size_t taken_ = 0; // the index the consumer takes next
    std::size_t waiting_bytes_ = 0;
    std::size_t idle_workers_ = 0;
    std::size_t busy_ = 0; // workers at work on a result
    bool consumer_waiting_ = false;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace velpic
