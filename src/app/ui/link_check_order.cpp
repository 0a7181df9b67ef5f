#include "app/ui/link_check_order.h"

#include <algorithm>

namespace velpic {

LinkCheckOrder::LinkCheckOrder(std::vector<int> rows)
    : count_(rows.size()), order_(std::move(rows)), taken_(order_.size(), 0) {
    taken_by_index_.reserve(order_.size());
    const int highest = order_.empty() ? -1 : *std::max_element(order_.begin(), order_.end());
    position_of_row_.assign(static_cast<std::size_t>(highest + 1), -1);
    for (std::size_t place = 0; place < order_.size(); ++place)
        if (order_[place] >= 0)
            position_of_row_[static_cast<std::size_t>(order_[place])] = static_cast<int>(place);
}

int LinkCheckOrder::row_at(std::size_t index) {
    std::lock_guard lock(mutex_);
    if (index < taken_by_index_.size())
        return taken_by_index_[index];
    if (index >= count_)
        return -1;
    // The check asks for its targets in order; should it skip ahead, the indexes between get rows too, so every
    // row is taken by exactly one index.
    while (taken_by_index_.size() <= index) {
        int place = -1;
        while (!preferred_.empty() && place < 0) {
            const int row = preferred_.front();
            preferred_.pop_front();
            const int candidate = position_of_row_[static_cast<std::size_t>(row)];
            if (!taken_[static_cast<std::size_t>(candidate)])
                place = candidate;
        }
        if (place < 0) {
            while (taken_[cursor_])
                ++cursor_;
            place = static_cast<int>(cursor_);
        }
        taken_[static_cast<std::size_t>(place)] = 1;
        taken_by_index_.push_back(order_[static_cast<std::size_t>(place)]);
    }
    return taken_by_index_[index];
}

void LinkCheckOrder::prefer(int first, int last) {
    std::lock_guard lock(mutex_);
    preferred_.clear();
    const int end = std::min(last + 1, static_cast<int>(position_of_row_.size()));
    for (int row = std::max(first, 0); row < end; ++row) {
        const int place = position_of_row_[static_cast<std::size_t>(row)];
        if (place >= 0 && !taken_[static_cast<std::size_t>(place)])
            preferred_.push_back(row);
    }
}

} // namespace velpic
