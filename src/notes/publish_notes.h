// `velpic publish`: the pictures that notes show from this machine (and with remote, from other hosts) uploaded
// through the upload core, and their references rewritten to the repository's addresses.
#pragma once

#include "notes/note_rewrite.h"
#include "upload/upload_picture.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace velpic {

struct PublishOptions {
    bool dry_run = false;
    bool remote = false; // re-host pictures of other web hosts too
    bool gbk = false;    // the notes are GBK text (--encoding gbk): read and written as GBK
};

// The bytes of a web picture, or why not; bounded by the caller's limit. The default downloads it.
struct FetchedPicture {
    bool ok = false;
    std::string bytes;
    std::string error; // UTF-8
};
using FetchPicture = std::function<FetchedPicture(const std::string& address, std::uint64_t limit)>;

// Publishes the notes of paths (files, and the *.md and *.markdown below folders) and prints the report and the
// summary line. A dry run reads and checks every picture (and fetches web ones) but commits, records and writes
// nothing: the address it shows is the one the picture's digest name gives in the repository. 0 when nothing
// failed, 1 otherwise.
int publish_notes(const std::vector<std::string>& paths, const PublishOptions& options, const UploadContext& context,
                  std::ostream& out, std::ostream& err, const FetchPicture& fetch = {});

} // namespace velpic
