// Request heads of the editor server as the listener reads them: bytes in random pieces go through the gatherer,
// and whatever the pieces, the outcome (more, too large, or the same head of the same size) is the one of the
// bytes arriving in a single read. A head taken is parsed; what parses holds only what a head may hold.
#include "fuzz_support.h"
#include "server/http_head.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

struct Outcome {
    HeadGatherer::State state = HeadGatherer::State::more;
    std::size_t size = 0;
    std::string head; // the bytes taken, when complete

    bool operator==(const Outcome&) const = default;
};

// Feeds bytes in pieces whose lengths come from cuts (each byte a length of 1 to 64, repeated), stopping where the
// listener stops reading heads: at the first answer.
Outcome gather_in_pieces(std::string_view bytes, std::string_view cuts, std::size_t lines, std::size_t size) {
    HeadGatherer gatherer(lines, size);
    std::string in;
    Outcome outcome;
    std::size_t at = 0;
    std::size_t piece = 0;
    while (at < bytes.size()) {
        std::size_t length = bytes.size() - at;
        if (!cuts.empty())
            length = std::min(length, static_cast<std::size_t>(static_cast<unsigned char>(cuts[piece++ % cuts.size()]) % 64) + 1);
        in.append(bytes.substr(at, length));
        at += length;
        outcome.state = gatherer.gather(in);
        if (outcome.state == HeadGatherer::State::too_large)
            return outcome;
        if (outcome.state == HeadGatherer::State::complete) {
            outcome.size = gatherer.size();
            FUZZ_CHECK(outcome.size >= 4 && outcome.size <= in.size());
            outcome.head = in.substr(0, outcome.size);
            return outcome;
        }
    }
    return outcome;
}

bool is_token(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == ':')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384)
        return 0;
    FuzzInput input(data, size);
    // Small bounds, so that the fuzzer reaches them: 1 to 8 header lines, 128 bytes to 16 KB.
    const std::size_t max_lines = 1 + (input.selector() & 7u);
    const std::size_t max_bytes = std::size_t{128} << ((input.selector() >> 3) & 7u);
    const std::string_view bytes = input.field(0);

    const Outcome whole = gather_in_pieces(bytes, {}, max_lines, max_bytes);
    const Outcome pieces = gather_in_pieces(bytes, input.field(1), max_lines, max_bytes);
    const Outcome single_bytes = gather_in_pieces(bytes, std::string_view("\0", 1), max_lines, max_bytes);
    FUZZ_CHECK(pieces == whole);
    FUZZ_CHECK(single_bytes == whole);
    if (whole.state != HeadGatherer::State::complete)
        return 0;
    FUZZ_CHECK(whole.size <= max_bytes);
    FUZZ_CHECK(whole.head.ends_with("\r\n\r\n"));
    FUZZ_CHECK(!whole.head.starts_with("\r\n"));

    HttpHead head;
    if (!parse_head(std::string_view(whole.head).substr(0, whole.size - 4), head))
        return 0;
    FUZZ_CHECK(is_token(head.method));
    FUZZ_CHECK(head.version == "HTTP/1.1" || head.version == "HTTP/1.0");
    FUZZ_CHECK(head.target.starts_with(head.path));
    FUZZ_CHECK(head.headers.size() <= max_lines);
    std::size_t hosts = 0;
    for (const auto& [name, value] : head.headers) {
        FUZZ_CHECK(is_token(name));
        FUZZ_CHECK(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
        FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.back() != ' '));
        hosts += same_letters(name, "Host") ? 1 : 0;
    }
    FUZZ_CHECK(hosts <= 1);
    FUZZ_CHECK(head.version == "HTTP/1.0" || hosts == 1);
    FUZZ_CHECK(head.header("hOsT") == head.header("Host"));
    bool present = false;
    const std::string value = head.query_value(std::string(input.field(2)), &present);
    FUZZ_CHECK(present || value.empty());
    return 0;
}
