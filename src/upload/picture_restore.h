// Committing a recorded picture again from its archive copy: the file's name is its digest and type, so the
// address comes back unchanged and every link to it works again.
#pragma once

#include "upload/upload_picture.h"

#include <string>

namespace velpic {

struct RestoreOutcome {
    enum class Kind {
        restored,      // committed again
        already_there, // the service holds the same bytes (same blob SHA-1): nothing to do
        conflict,      // the service holds other bytes, or something that is not a file, under the name
        no_copy,       // no verified archive copy (missing or damaged)
        no_record,     // the digest is not recorded
        failed,        // the store or the service could not be asked, or the commit failed
    };
    Kind kind = Kind::failed;
    std::string digest;
    std::string address; // GBK: the picture's address, when restored or already there
    std::string reason;  // GBK, for the other kinds

    bool ok() const { return kind == Kind::restored || kind == Kind::already_there; }
};

RestoreOutcome restore_picture(const UploadContext& context, const std::string& digest);

// One line for the user (GBK).
std::string restore_summary(const RestoreOutcome& outcome);

} // namespace velpic
