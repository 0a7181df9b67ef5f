// Fetching recorded pictures whole, over the link check's engine (parallel, connections reused, at most 5
// redirects, never from https to http): for a backup of pictures that have no local copy.
#pragma once

#include "records/link_check.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velpic {

// The most a fetched picture may take; a larger body counts as not fetched.
inline constexpr std::size_t kFetchedPictureLimit = 100u * 1024 * 1024;

struct FetchedPicture {
    LinkStatus status = LinkStatus::failed; // as a deep link check would say
    bool digest_matches = false;            // the MD5 of the whole body equals the record's digest
    bool digest_mismatch = false;           // a whole picture of the record's type came, but other bytes
    std::string bytes;                      // the whole body when digest_matches, else empty
};

// Fetches every target's address and checks the whole body against its digest; finished fires on the calling
// thread as each is decided.
void fetch_pictures(const std::vector<LinkTarget>& targets, const LinkCheckOptions& options,
                    const std::function<void(std::size_t index, FetchedPicture picture)>& finished,
                    BatchGetStop* stop = nullptr);

} // namespace velpic
