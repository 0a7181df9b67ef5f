// The rate-limit headers of a forge's answer (Retry-After, x-ratelimit-remaining and -reset): a wait is asked only
// by a 403 or 429, is never negative nor above the cap whatever the numbers say, and a 429 always waits. A header
// value read from a head is trimmed, one line's, and the last of its name.
#include "fuzz_support.h"
#include "upload/forge_client.h"

#include <algorithm>

using namespace velpic;
using velpic::fuzz::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    TokenAnswer answer;
    answer.complete = true;
    static const int statuses[] = {403, 429, 200, 500};
    answer.status = statuses[input.selector() & 3u];
    answer.headers = std::string(input.field(0));
    // now from 1970 to far beyond any clock; the cap as the client sets it or smaller.
    long long now = 0;
    for (char c : input.field(1).substr(0, 7))
        now = now * 256 + static_cast<unsigned char>(c);
    const long long cap = 1 + static_cast<long long>((input.selector() >> 2) * 60);

    const long long wait = forge_wait_seconds(answer, now, cap);
    FUZZ_CHECK(wait == -1 || (wait >= 0 && wait <= cap));
    if (answer.status != 403 && answer.status != 429)
        FUZZ_CHECK(wait == -1);
    if (answer.status == 429)
        FUZZ_CHECK(wait >= 0);

    const std::string name(input.field(2).substr(0, 32));
    const std::string value = forge_header(answer.headers, name);
    FUZZ_CHECK(value.find('\n') == std::string::npos);
    FUZZ_CHECK(value.empty() || answer.headers.find(value) != std::string::npos);
    FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.back() != ' '));
    // The names asked for are the program's own, ASCII: their letter case does not matter.
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        FUZZ_CHECK(forge_header(answer.headers, fuzz::ascii_folded(name)) == value);
    return 0;
}
