// GitHub's Git Data answers (a branch's ref, a commit, a tree, an object created) and Gitea's listing of the root:
// an object name taken from them is always 40 lower-case hex digits (it goes into later request bodies and
// addresses as it is), a tree or a listing is read only from a whole 200 answer, and what is not read says why.
#include "fuzz_support.h"
#include "runtime/gbk_text.h"
#include "upload/gitea_batch.h"
#include "upload/github_git_data.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

bool is_object_name(const std::string& text) {
    return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A blob name is compared with names made here, all lower case.
bool lowered(const std::string& text) {
    return text_lower(text) == text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    TokenAnswer answer;
    answer.complete = !input.flag(0);
    static const int statuses[] = {200, 201, 404, 409, 422, 500, 403, 299};
    answer.status = statuses[(input.selector() >> 1) & 7u];
    answer.text = std::string(input.field(0));
    answer.reason = "transport failure";
    const bool whole_200 = answer.complete && answer.status == 200;

    const std::string asked(input.field(1).substr(0, 32));
    for (const std::string& member : {std::string("object.sha"), std::string("tree.sha"), std::string("sha"), asked}) {
        const std::string name = read_github_object_name(answer, member);
        FUZZ_CHECK(name.empty() || (whole_200 && is_object_name(name)));
    }
    std::string reason;
    const std::string created = read_github_created_sha(answer, reason);
    if (created.empty()) {
        FUZZ_CHECK(!reason.empty());
    } else {
        FUZZ_CHECK(answer.complete && answer.status == 201 && is_object_name(created));
    }

    std::vector<GitTreeEntry> tree{{"left", "from", "before", ""}};
    reason.clear();
    if (read_github_tree_answer(answer, tree, reason)) {
        FUZZ_CHECK(whole_200 && reason.empty());
        for (const GitTreeEntry& entry : tree)
            FUZZ_CHECK(lowered(entry.sha));
    } else {
        FUZZ_CHECK(!reason.empty() && tree.empty());
    }

    std::vector<GiteaRootEntry> root{{"left", "from before", true}};
    reason.clear();
    bool missing = false;
    if (read_gitea_root_answer(answer, root, reason, missing)) {
        FUZZ_CHECK(whole_200 && reason.empty() && !missing);
        for (const GiteaRootEntry& entry : root)
            FUZZ_CHECK(lowered(entry.sha));
    } else {
        FUZZ_CHECK(!reason.empty() && root.empty());
        FUZZ_CHECK(missing == (answer.complete && answer.status == 404));
    }
    return 0;
}
