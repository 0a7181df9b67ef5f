#include "notes/read_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace velpic {
namespace {

// Results come in the list's order whatever order the threads finish in; no more than the window runs ahead of
// the consumer, nor starts while the waiting results hold the byte bound; a failure reaches the one who takes it.
TEST(ReadAhead, HandsOverInOrderWithinItsBoundsAndPassesFailuresOn) {
    struct Case {
        std::size_t window;
        std::size_t bytes;
        std::size_t weight;
    };
    for (const Case& bound : {Case{4, 1 << 20, 1}, Case{64, 10, 4}, Case{1, 1 << 20, 1}}) {
        std::atomic<std::size_t> started{0};
        std::atomic<std::size_t> taken{0};
        std::atomic<std::size_t> most_ahead{0};
        ReadAhead<std::string>::Bounds bounds;
        bounds.threads = 3;
        bounds.window = bound.window;
        bounds.bytes = bound.bytes;
        ReadAhead<std::string> ahead(
            200,
            [&](std::size_t i) {
                const std::size_t ahead_now = ++started - taken.load();
                for (std::size_t seen = most_ahead; ahead_now > seen && !most_ahead.compare_exchange_weak(seen, ahead_now);)
                    ;
                if (i == 150)
                    throw std::runtime_error("unreadable");
                return std::string(bound.weight, static_cast<char>('a' + i % 26));
            },
            [](const std::string& s) { return s.size(); }, bounds);
        for (std::size_t i = 0; i < 150; ++i) {
            EXPECT_EQ(ahead.take(i), std::string(bound.weight, static_cast<char>('a' + i % 26)));
            ++taken;
        }
        EXPECT_THROW(ahead.take(150), std::runtime_error);
        // With a byte bound of 10 and results of 4 bytes, at most three wait besides those under way.
        const std::size_t by_bytes = bound.bytes / bound.weight + 1 + bounds.threads;
        EXPECT_LE(most_ahead.load(), std::min(bound.window, by_bytes) + 1) << bound.window;
    }
}

} // namespace
} // namespace velpic
