// Taking one picture down: its file at the service, then its record, then its archive copy. Each step only follows
// a confirmed one, so a run cut off at any moment leaves a state that running the same delete again completes.
#pragma once

#include "upload/upload_picture.h"

#include <string>

namespace velpic {

// The picture a delete names: a digest (32 hex digits, either case) or an address of the repository's raw files
// whose last part is a digest and a picture type.
struct DeleteTarget {
    std::string digest; // lower-case; empty when the text names no picture
    std::string type;   // ".png" …, when an address gave it
    std::string error;  // GBK, when digest is empty
};
DeleteTarget parse_delete_target(const std::string& text, const HostingService& service);

struct DeleteOutcome {
    bool ok = false; // nothing of the picture is left, but a copy kept on purpose
    std::string digest;
    bool file_deleted = false;   // the service deleted the file in this run
    bool record_removed = false; // a record was taken out in this run
    bool copy_removed = false;   // an archive copy was removed in this run
    std::string reason;          // GBK, when not ok

    bool nothing_to_do() const { return ok && !file_deleted && !record_removed && !copy_removed; }
};

// GET the file's blob SHA, DELETE it with that SHA (under every name the picture may have: the recorded type,
// the archive copy's, or else each picture type), and only after the service confirms it (or says the file is
// gone) take the record out, then the archive copy unless keep_copy. A record whose address is not in the
// repository is left alone and reported.
DeleteOutcome delete_picture(const UploadContext& context, const std::string& digest_or_address, bool keep_copy);

// One line for the user (GBK): what was done, that nothing was left to do, or why it failed.
std::string delete_summary(const DeleteOutcome& outcome);

// "<date and time> delete" (GBK), the commit message of a delete.
std::string delete_message_now();

} // namespace velpic
