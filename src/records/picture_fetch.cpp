#include "records/picture_fetch.h"

#include "http/curl_exchange.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"

#include <algorithm>

namespace velpic {

void fetch_pictures(const std::vector<LinkTarget>& targets, const LinkCheckOptions& options,
                    const std::function<void(std::size_t index, FetchedPicture picture)>& finished,
                    BatchGetStop* stop) {
    std::vector<std::string> urls;
    urls.reserve(targets.size());
    for (const LinkTarget& target : targets)
        urls.push_back(percent_encode_unsafe(to_utf8(target.address)));

    LinkCheckOptions deep = options;
    deep.deep = true;
    BatchGetOptions fetch;
    fetch.jobs = std::clamp(options.jobs, 1, kMaxLinkCheckJobs);
    fetch.max_redirects = 5;
    fetch.timeout_seconds = options.timeout_seconds;
    fetch.header_lines = link_check_header_lines(deep);
    // The kept head is the body itself, up to the limit; a longer body is cut and cannot match its digest.
    fetch.head_limit = kFetchedPictureLimit;
    fetch.whole_body = true;
    fetch.verify_tls = true;

    BatchGetEvents events;
    events.finished = [&](std::size_t index, const BatchGetResult& result) {
        FetchedPicture picture;
        picture.status = classify_link(result, targets[index], true);
        // The bytes kept are hashed themselves: the engine's digest covers the body, the head only its first part.
        if (result.body_complete && result.status >= 200 && result.status < 300 &&
            md5_hex(result.head) == targets[index].digest) {
            picture.digest_matches = true;
            picture.bytes = result.head;
        }
        picture.digest_mismatch =
            !picture.digest_matches && result.body_complete && result.status >= 200 && result.status < 300 &&
            match_signature(signature_for_type(targets[index].type), result.head, true) == SignatureMatch::yes;
        if (finished)
            finished(index, std::move(picture));
    };
    batch_get(urls, fetch, events, stop);
}

} // namespace velpic
