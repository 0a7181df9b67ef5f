// The forges' answers to a create through the contents API, to a batch commit (Gitea) and to the question about a
// repository: a create or a batch is taken as stored only from a whole success naming exactly the files and blobs
// sent, a repository is known only with a branch to upload into, and every answer not taken says why in a reason
// bounded by the answer it came from.
#include "fuzz_support.h"
#include "upload/forge_answer.h"
#include "upload/forge_repository.h"
#include "upload/git_blob.h"
#include "upload/gitea_batch.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

TokenAnswer answer_of(const FuzzInput& input) {
    TokenAnswer answer;
    answer.complete = !input.flag(0);
    answer.outcome_unknown = input.flag(1);
    static const int statuses[] = {200, 201, 404, 405, 409, 422, 500, 299};
    answer.status = statuses[(input.selector() >> 2) & 7u];
    answer.text = std::string(input.field(0));
    answer.reason = "transport failure";
    return answer;
}

// A control byte is shown as a few characters; the rest of a reason is words of this program.
void check_reason(const std::string& reason, const TokenAnswer& answer) {
    FUZZ_CHECK(!reason.empty());
    FUZZ_CHECK(reason.size() <= 6 * answer.text.size() + 512);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const TokenAnswer answer = answer_of(input);
    const bool success = answer.complete && (answer.status == 200 || answer.status == 201);

    const std::string picture = "png bytes";
    const std::string path = "0123456789abcdef0123456789abcdef.png";
    const ContentsApiResult created = read_forge_create_answer(answer, path, git_blob_sha1(picture));
    if (created.ok) {
        FUZZ_CHECK(success);
        FUZZ_CHECK(created.reason.empty() && !created.maybe_stored);
    } else {
        check_reason(created.reason, answer);
    }

    // Two files created and one deleted in one commit.
    const std::string other = "other bytes";
    const std::vector<BatchFile> files = {{path, picture, false, ""},
                                          {"fedcba9876543210fedcba9876543210.gif", other, false, ""},
                                          {"00000000000000000000000000000000.png", {}, true, std::string(40, 'a')}};
    const BatchCommitResult batch = read_gitea_batch_answer(answer, files);
    if (batch.ok) {
        FUZZ_CHECK(success);
    } else {
        check_reason(batch.reason, answer);
    }
    FUZZ_CHECK(!gitea_batch_unsupported(answer) || !batch.ok);

    const ForgeRepositoryInfo info = read_forge_repository_answer(answer);
    if (info.known) {
        FUZZ_CHECK(answer.complete && answer.status == 200);
        FUZZ_CHECK(!info.default_branch.empty() && info.reason.empty());
    } else {
        check_reason(info.reason, answer);
        FUZZ_CHECK(info.default_branch.empty() && !info.is_private);
    }
    check_reason(forge_failure_reason(answer), answer);
    return 0;
}
