// Decodes a chunked request body as its bytes arrive, in any split.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velpic {

class ChunkedBody {
public:
    enum class State { more, done, bad, too_large };

    explicit ChunkedBody(std::size_t limit) : limit_(limit) {}

    // Appends the decoded bytes of data to out (never past the limit). Returns done once the last chunk and its
    // trailer have been read; *used then tells how much of data belonged to the body.
    State feed(std::string_view data, std::string& out, std::size_t* used);

private:
    enum class Step { size, extension, size_lf, data, data_cr, data_lf, trailer_line, trailer_lf, last_lf };

    std::size_t limit_;
    Step step_ = Step::size;
    std::size_t chunk_left_ = 0;
    std::size_t size_digits_ = 0;
    std::size_t trailer_bytes_ = 0;
    bool line_empty_ = true;
    State state_ = State::more;
};

} // namespace velpic
