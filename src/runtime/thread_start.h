// One worker thread per job, detached at once, as the program's workers are: nothing joins them, and nothing a
// job throws may end the process.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace velpic {

// Starts fn on a new detached thread; false when the thread could not be created.
template <class Fn> bool start_thread(Fn&& fn) {
    try {
        std::thread([job = std::forward<Fn>(fn)]() mutable {
            try {
                job();
            } catch (...) {
                // A failed job has already reported what it could; the process must keep running.
            }
        }).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace velpic
