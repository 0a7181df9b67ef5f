// Committing a recorded picture again from its archive copy: the file's name is its digest and type, so the
// address comes back unchanged and every link to it works again.
#pragma once

#include "records/link_check.h"
#include "upload/upload_picture.h"

#include <string>
#include <vector>

namespace velpic {

struct RestoreOutcome {
    enum class Kind {
        restored,      // committed again
        already_there, // the service holds the same bytes (same blob SHA-1): nothing to do
        conflict,      // the service holds other bytes, or something that is not a file, under the name
        no_copy,       // no verified archive copy (missing or damaged)
        no_record,     // the digest is neither recorded nor in the archive
        failed,        // the store or the service could not be asked, or the commit failed
    };
    Kind kind = Kind::failed;
    std::string digest;
    std::string address; // GBK: the picture's address, when restored or already there
    std::string reason;  // GBK, for the other kinds

    bool ok() const { return kind == Kind::restored || kind == Kind::already_there; }
};

// A digest that has no record (the repository was emptied) but a verified copy goes up as an upload of the copy
// would, and is recorded again.
RestoreOutcome restore_picture(const UploadContext& context, const std::string& digest);

// The digests of the records (as the records page lists them) whose link a check finds 已失效 now; error (GBK) when
// the records could not be listed.
std::vector<std::string> expired_digests(const UploadContext& context, const LinkCheckOptions& options,
                                         std::string* error = nullptr);

// One line for the user (GBK).
std::string restore_summary(const RestoreOutcome& outcome);

} // namespace velpic
