// Chunked request bodies as the listener feeds them: the decoder's outcome does not depend on how the bytes are
// split, and agrees with a plain reading of the chunked form written here: a body it reads whole is decoded to the
// same bytes and ends at the same place, and one it refuses is malformed or too large. Sizes with leading zeros are
// sizes like any other.
#include "fuzz_support.h"
#include "runtime/percent_encoding.h"
#include "server/chunked_body.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

struct Decoded {
    ChunkedBody::State state = ChunkedBody::State::more;
    std::string out;
    std::size_t used = 0; // of all bytes, once done

    bool operator==(const Decoded&) const = default;
};

Decoded decode_in_pieces(std::string_view bytes, std::string_view cuts, std::size_t limit) {
    ChunkedBody body(limit);
    Decoded decoded;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < bytes.size() && decoded.state == ChunkedBody::State::more) {
        std::size_t length = bytes.size() - at;
        if (!cuts.empty())
            length = std::min(length, static_cast<std::size_t>(static_cast<unsigned char>(cuts[piece++ % cuts.size()]) % 64) + 1);
        std::size_t used = 0;
        decoded.state = body.feed(bytes.substr(at, length), decoded.out, &used);
        FUZZ_CHECK(used <= length);
        FUZZ_CHECK(decoded.out.size() <= limit);
        if (decoded.state == ChunkedBody::State::done)
            decoded.used = at + used;
        at += length;
    }
    return decoded;
}

// The chunked form read plainly: chunks of hex size (any number of digits) with an optional extension, CR LF, data,
// CR LF; a last chunk of size 0; trailer lines; an empty line. more while the bytes end early.
Decoded read_plainly(std::string_view bytes, std::size_t limit) {
    Decoded decoded;
    std::size_t i = 0;
    auto bad = [&] {
        decoded.state = ChunkedBody::State::bad;
        return decoded;
    };
    for (;;) {
        std::size_t size = 0;
        std::size_t digits = 0;
        bool huge = false;
        for (; i < bytes.size() && hex_digit_value(bytes[i]) >= 0; ++i, ++digits) {
            huge = huge || size > limit;
            if (!huge)
                size = size * 16 + static_cast<std::size_t>(hex_digit_value(bytes[i]));
        }
        if (huge || size > limit || decoded.out.size() + size > limit) {
            decoded.state = ChunkedBody::State::too_large;
            return decoded;
        }
        if (i == bytes.size())
            return decoded;
        if (digits == 0)
            return bad();
        if (bytes[i] == ';' || bytes[i] == ' ' || bytes[i] == '\t') {
            while (i < bytes.size() && bytes[i] != '\r') {
                if (bytes[i] == '\n')
                    return bad();
                ++i;
            }
        }
        if (i == bytes.size())
            return decoded;
        if (bytes[i] != '\r')
            return bad();
        if (++i == bytes.size())
            return decoded;
        if (bytes[i++] != '\n')
            return bad();
        if (size == 0)
            break;
        if (bytes.size() - i < size) {
            decoded.out.append(bytes.substr(i));
            return decoded;
        }
        decoded.out.append(bytes.substr(i, size));
        i += size;
        for (const char expected : {'\r', '\n'}) {
            if (i == bytes.size())
                return decoded;
            if (bytes[i++] != expected)
                return bad();
        }
    }
    for (;;) {
        const std::size_t line_start = i;
        while (i < bytes.size() && bytes[i] != '\r') {
            if (bytes[i] == '\n')
                return bad();
            ++i;
        }
        if (i == bytes.size() || ++i == bytes.size())
            return decoded;
        if (bytes[i++] != '\n')
            return bad();
        if (i - line_start == 2) {
            decoded.state = ChunkedBody::State::done;
            decoded.used = i;
            return decoded;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Below the decoder's bound on extensions and trailers, which the plain reading does not know.
    if (size > 4096)
        return 0;
    FuzzInput input(data, size);
    const std::size_t limit = std::size_t{1} << (input.selector() % 24);
    const std::string_view bytes = input.field(0);

    const Decoded whole = decode_in_pieces(bytes, {}, limit);
    FUZZ_CHECK(decode_in_pieces(bytes, input.field(1), limit) == whole);
    FUZZ_CHECK(decode_in_pieces(bytes, std::string_view("\0", 1), limit) == whole);

    // The decoder refuses a size as soon as its digits pass the limit, the plain reading once they have all come:
    // a line malformed after a size too large may be either.
    const Decoded plain = read_plainly(bytes, limit);
    using State = ChunkedBody::State;
    FUZZ_CHECK((whole.state == State::done) == (plain.state == State::done));
    if (whole.state == State::done)
        FUZZ_CHECK(whole == plain);
    if (whole.state == State::too_large)
        FUZZ_CHECK(plain.state == State::too_large);
    if (whole.state == State::bad)
        FUZZ_CHECK(plain.state == State::bad || plain.state == State::too_large);
    if (whole.state == State::more)
        FUZZ_CHECK(plain.state == State::more || plain.state == State::too_large);
    return 0;
}
