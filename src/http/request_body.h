// A request body that is produced while it is sent, so that a large one never has to exist as one buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velpic {

class RequestBody {
public:
    virtual ~RequestBody() = default;
    // The exact number of bytes the body has; it goes out as the Content-Length.
    virtual std::uint64_t size() const = 0;
    // Copies the bytes from offset on into out, at most length of them, and returns how many: less than length only
    // at the end of the body. Any offset may be asked for, so a transport can start over from the beginning.
    virtual std::size_t read(std::uint64_t offset, char* out, std::size_t length) const = 0;
};

} // namespace velpic
