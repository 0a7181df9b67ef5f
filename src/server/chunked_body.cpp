#include "server/chunked_body.h"

#include "runtime/percent_encoding.h"

#include <algorithm>

namespace velpic {

namespace {

// Trailer fields are read and dropped; this many bytes of them at most.
constexpr std::size_t kTrailerLimit = 8192;

} // namespace

ChunkedBody::State ChunkedBody::feed(std::string_view data, std::string& out, std::size_t* used) {
    std::size_t i = 0;
    auto fail = [&](State state) {
        state_ = state;
        if (used != nullptr)
            *used = i;
        return state;
    };
    while (i < data.size() && state_ == State::more) {
        const char c = data[i];
        switch (step_) {
        case Step::size: {
            const int digit = hex_digit_value(c);
            if (digit >= 0) {
                // Leading zeros make no size larger, but they are bytes of the line all the same: bounded with the
                // extensions. The size is refused once it passes the limit, long before it could overflow.
                if (++size_digits_ > 1 && chunk_left_ == 0 && ++trailer_bytes_ > kTrailerLimit)
                    return fail(State::bad);
                if (chunk_left_ > limit_ / 16)
                    return fail(State::too_large);
                chunk_left_ = chunk_left_ * 16 + static_cast<std::size_t>(digit);
                ++i;
                break;
            }
            if (size_digits_ == 0)
                return fail(State::bad);
            if (c == ';' || c == ' ' || c == '\t') {
                step_ = Step::extension;
            } else if (c == '\r') {
                step_ = Step::size_lf;
            } else {
                return fail(State::bad);
            }
            ++i;
            break;
        }
        case Step::extension:
            if (c == '\r')
                step_ = Step::size_lf;
            else if (c == '\n')
                return fail(State::bad);
            else if (++trailer_bytes_ > kTrailerLimit)
                return fail(State::bad);
            ++i;
            break;
        case Step::size_lf:
            if (c != '\n')
                return fail(State::bad);
            ++i;
            if (chunk_left_ > limit_ || out.size() + chunk_left_ > limit_)
                return fail(State::too_large);
            size_digits_ = 0;
            if (chunk_left_ == 0) {
                step_ = Step::trailer_line;
                line_empty_ = true;
            } else {
                step_ = Step::data;
            }
            break;
        case Step::data: {
            const std::size_t n = std::min(chunk_left_, data.size() - i);
            out.append(data.data() + i, n);
            i += n;
            chunk_left_ -= n;
            if (chunk_left_ == 0)
                step_ = Step::data_cr;
            break;
        }
        case Step::data_cr:
            if (c != '\r')
                return fail(State::bad);
            step_ = Step::data_lf;
            ++i;
            break;
        case Step::data_lf:
            if (c != '\n')
                return fail(State::bad);
            step_ = Step::size;
            ++i;
            break;
        case Step::trailer_line:
            if (c == '\r') {
                step_ = line_empty_ ? Step::last_lf : Step::trailer_lf;
            } else if (c == '\n' || ++trailer_bytes_ > kTrailerLimit) {
                return fail(State::bad);
            } else {
                line_empty_ = false;
            }
            ++i;
            break;
        case Step::trailer_lf:
            if (c != '\n')
                return fail(State::bad);
            step_ = Step::trailer_line;
            line_empty_ = true;
            ++i;
            break;
        case Step::last_lf:
            if (c != '\n')
                return fail(State::bad);
            ++i;
            state_ = State::done;
            break;
        }
    }
    if (used != nullptr)
        *used = i;
    return state_;
}

} // namespace velpic
