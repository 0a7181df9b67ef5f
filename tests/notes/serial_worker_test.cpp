#include "notes/serial_worker.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace velpic {
namespace {

// Tasks run one after another in the order given, on one thread beside the giver's; wait_idle returns once all
// given so far have run, and the worker's end runs what is still waiting before it returns.
TEST(SerialWorker, RunsItsTasksInOrderOnOneThreadAndFinishesThemAll) {
    std::vector<int> order;
    std::set<std::thread::id> threads;
    {
        SerialWorker worker;
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 100; ++i)
                worker.submit([&, i] {
                    order.push_back(i);
                    threads.insert(std::this_thread::get_id());
                });
            worker.wait_idle();
            ASSERT_EQ(order.size(), 100u * (round + 1));
        }
        for (int i = 0; i < 50; ++i)
            worker.submit([&, i] { order.push_back(1000 + i); });
    }
    std::vector<int> expected;
    for (const int first : {0, 0, 1000})
        for (int i = 0; i < (first == 1000 ? 50 : 100); ++i)
            expected.push_back(first + i);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

} // namespace
} // namespace velpic
