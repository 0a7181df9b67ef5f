// The order in which a running link check takes its rows while the view moves.
#include "app/ui/link_check_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace velpic;

namespace {

std::vector<int> take_all(LinkCheckOrder& order, std::size_t from = 0) {
    std::vector<int> rows;
    for (std::size_t index = from; index < order.size(); ++index)
        rows.push_back(order.row_at(index));
    return rows;
}

TEST(LinkCheckOrder, RowsInViewGoFirstAndEveryRowIsTakenOnce) {
    struct Case {
        const char* name;
        std::vector<int> rows;        // to check, in the default order
        std::size_t taken_before;     // indexes asked for before the view moves
        int first, last;              // the view after the move
        std::vector<int> expected;    // every row in the order taken
    };
    const std::vector<Case> cases = {
        {"no move", {0, 1, 2, 3}, 0, -1, -2, {0, 1, 2, 3}},
        {"view at the end", {0, 1, 2, 3, 4, 5}, 2, 4, 5, {0, 1, 4, 5, 2, 3}},
        {"view over rows partly taken", {0, 1, 2, 3, 4, 5}, 3, 1, 3, {0, 1, 2, 3, 4, 5}},
        {"view over rows not to check", {0, 2, 4, 6, 8}, 1, 5, 7, {0, 6, 2, 4, 8}},
        {"view beyond the list", {0, 1, 2}, 0, 7, 9, {0, 1, 2}},
        {"default order not by row", {7, 8, 0, 1, 2}, 1, 0, 1, {7, 0, 1, 8, 2}},
    };
    for (const Case& c : cases) {
        LinkCheckOrder order(c.rows);
        std::vector<int> got;
        for (std::size_t index = 0; index < c.taken_before; ++index)
            got.push_back(order.row_at(index));
        order.prefer(c.first, c.last);
        for (const int row : take_all(order, c.taken_before))
            got.push_back(row);
        EXPECT_EQ(got, c.expected) << c.name;
        EXPECT_EQ(order.row_at(c.rows.size()), -1) << c.name;
    }
}

TEST(LinkCheckOrder, AnIndexKeepsItsRowWhenAskedAgainAfterTheViewMoved) {
    LinkCheckOrder order({0, 1, 2, 3, 4});
    EXPECT_EQ(order.row_at(0), 0);
    EXPECT_EQ(order.row_at(1), 1); // asked while its host is held back, then again when it starts
    order.prefer(4, 4);
    EXPECT_EQ(order.row_at(1), 1);
    EXPECT_EQ(order.row_at(0), 0);
    EXPECT_EQ(order.row_at(2), 4);
    // The latest view counts; an index asked out of turn gives the ones before it rows as well.
    order.prefer(3, 3);
    EXPECT_EQ(order.row_at(4), 2);
    EXPECT_EQ(order.row_at(3), 3);
}

TEST(LinkCheckOrder, TheViewMovingWhileTheCheckTakesRowsLosesAndDoublesNone) {
    std::vector<int> rows(20000);
    for (int i = 0; i < 20000; ++i)
        rows[static_cast<std::size_t>(i)] = i;
    LinkCheckOrder order(rows);
    std::thread view([&] {
        for (int top = 19000; top > 0; top -= 37)
            order.prefer(top, top + 30);
    });
    std::vector<int> taken = take_all(order);
    view.join();
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(taken, rows);
}

} // namespace
