// The hosting service's answers to a create and to a contents GET: whatever they hold, only the raw-file address of
// the very file committed is ever taken as the committed file's, a file's blob id is 40 hex digits, and every answer that
// is not used says why.
#include "fuzz_support.h"
#include "upload/contents_api.h"
#include "upload/contents_lookup.h"
#include "upload/token_request.h"

#include <algorithm>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

bool is_lower_hex(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    TokenAnswer answer;
    answer.complete = !input.flag(0);
    answer.outcome_unknown = input.flag(1);
    // The status comes from the selector's upper bits: the usual ones, and one the reader knows nothing about.
    static const int statuses[] = {200, 201, 400, 404, 409, 422, 500, 299};
    answer.status = statuses[(input.selector() >> 2) & 7u];
    answer.text = std::string(input.field(0));
    answer.reason = "transport failure";

    const std::string owner = "alice";
    const std::string repo = "pics";
    const std::string path = "0123456789abcdef0123456789abcdef.png";
    const ContentsApiResult created = read_create_answer(answer, owner, repo, path);
    if (created.ok) {
        FUZZ_CHECK(answer.complete);
        FUZZ_CHECK(created.address == raw_address_prefix(owner, repo) + path);
        FUZZ_CHECK(created.address.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(created.reason.empty());
        FUZZ_CHECK(!created.maybe_stored);
    } else {
        FUZZ_CHECK(created.address.empty());
        FUZZ_CHECK(!created.reason.empty());
    }
    // What a failure shows is bounded by the answer it came from (a control byte is shown as four characters).
    FUZZ_CHECK(created.reason.size() <= 4 * answer.text.size() + 256);

    const StoredContents stored = read_contents_answer(answer);
    switch (stored.kind) {
    case StoredContents::Kind::file:
        FUZZ_CHECK(answer.complete && answer.status == 200);
        FUZZ_CHECK(stored.sha.size() == 40 && is_lower_hex(stored.sha));
        FUZZ_CHECK(stored.reason.empty());
        break;
    case StoredContents::Kind::absent:
    case StoredContents::Kind::other:
        FUZZ_CHECK(answer.complete);
        FUZZ_CHECK(stored.sha.empty() && stored.download_url.empty());
        break;
    case StoredContents::Kind::unknown:
        FUZZ_CHECK(!stored.reason.empty());
        FUZZ_CHECK(stored.sha.empty() && stored.download_url.empty());
        break;
    }
    return 0;
}
