// Moving house: every recorded picture committed into another repository under its digest name, and its record
// pointed at the new address as soon as the commit is confirmed. A move cut off at any moment (a kill, a dropped
// network) loses nothing: running it again carries on where it stopped, and once it has completed, running it again
// changes nothing.
#pragma once

#include "records/link_check.h"
#include "upload/repository_profile.h"
#include "upload/upload_picture.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velpic {

struct MoveRequest {
    // The repository the pictures go to, with its own service and token.
    RepositoryProfile to;
    // Where the map "old<TAB>new" of the whole move goes once it completes; its journal lies beside it.
    std::filesystem::path map_path;
    // How pictures without a verified archive copy are downloaded from their recorded addresses.
    LinkCheckOptions fetch;
};

struct MoveItem {
    enum class Kind {
        moved,         // committed into the new repository in this run, record pointed there
        already_there, // the record pointed there already, or the repository held the same bytes under its name
        failed,        // reason says why; the record keeps its old address
    };
    Kind kind = Kind::failed;
    std::string digest;
    std::string old_address; // GBK
    std::string new_address; // GBK, when not failed
    std::string reason;      // GBK, when failed
};

struct MoveReport {
    bool started = false;        // the target was usable and the records could be read
    std::string error;           // GBK, when not started
    std::size_t records = 0;     // pictures recorded (one per digest)
    std::vector<MoveItem> items; // one per record, in the order they were decided
    bool map_written = false;    // this run wrote the map (from the journal of the whole move)
    std::string target_branch;   // the branch the pictures went to, when the target profile named none
    std::string map_error;       // GBK: the map could not be written

    std::size_t count(MoveItem::Kind kind) const;
    // Every record points at the new repository and the map is in place.
    bool complete() const;
};

// Moves every record of the context's store (MySQL: every machine's) into the repository of request.to with its
// token. Where the target service takes several files in one commit, the pictures go up in batches, one commit
// each; a batch the service refuses goes again one picture at a time. Each picture's bytes come from its verified
// archive copy, or else from its recorded address, kept only when their MD5 equals the digest. They are committed as an
// upload commits (a file already there with the same bytes is this picture; other bytes are a conflict), then the move
// is written to the journal, then the record is changed. A record that already points at the new repository counts as
// already there without asking the service: records change only after a confirmed commit. When nothing failed, the map
// is made from the journal (if this move changed anything since the last completed one) and the journal removed. item
// fires on the calling thread as each record is decided.
MoveReport
move_pictures(const UploadContext& context, const MoveRequest& request,
              const std::function<void(const MoveItem& item, std::size_t done, std::size_t total)>& item = {});

} // namespace velpic
