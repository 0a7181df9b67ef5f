// Which row a link check takes next: the check asks for its targets one after another on its own thread while the
// window's thread says which rows are in view, so rows scrolled into view go to the front of what is left.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace velpic {

class LinkCheckOrder {
public:
    // rows: the rows to check, in the order taken when the view says nothing (each at most once).
    explicit LinkCheckOrder(std::vector<int> rows);

    std::size_t size() const { return count_; }
    // The row of the check's index-th target: the first call for an index takes the next row, later calls
    // return the same one. Calls beyond size() give -1.
    int row_at(std::size_t index);
    // The rows from first to last are in view: those not yet taken go before every other one, in view order.
    void prefer(int first, int last);

private:
    std::mutex mutex_;
    const std::size_t count_;
    std::vector<int> order_;           // the default order
    std::size_t cursor_ = 0;           // the first of order_ perhaps not yet taken
    std::vector<int> taken_by_index_;  // index -> row, filled in as the check asks
    std::vector<int> position_of_row_; // row -> its place in order_, -1 for rows not to check
    std::vector<char> taken_;          // per place in order_
    std::deque<int> preferred_;        // rows in view, still to take unless already taken
};

} // namespace velpic
