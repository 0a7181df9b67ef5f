#include "upload/picture_restore.h"

#include "records/link_status_memory.h"
#include "runtime/codepage.h"
#include "upload/commit_picture.h"
#include "upload/contents_api.h"
#include "upload/contents_lookup.h"
#include "upload/git_blob.h"
#include "upload/picture_archive.h"
#include "upload/picture_records.h"
#include "upload/token_request.h"

#include <vector>

namespace velpic {

namespace {

RestoreOutcome ended(RestoreOutcome outcome, RestoreOutcome::Kind kind, std::string reason) {
    outcome.kind = kind;
    outcome.reason = std::move(reason);
    return outcome;
}

// A picture whose record went with an emptied repository (or was never kept) but whose copy is in the archive: it
// goes up again as an upload of the copy's bytes would, record and all.
RestoreOutcome restore_unrecorded(const UploadContext& context, RestoreOutcome outcome) {
    const ArchivedPicture copy = find_archive_copy(context.program_dir, outcome.digest, context.max_picture_bytes);
    if (copy.state == ArchivedPicture::State::missing)
        return ended(outcome, RestoreOutcome::Kind::no_record, utf8_to_gbk("没有这张图片的记录，本地存档中也没有它"));
    if (copy.state == ArchivedPicture::State::damaged)
        return ended(outcome, RestoreOutcome::Kind::no_copy, damaged_copy_message(outcome.digest));
    CollectingReporter reporter;
    const UploadResult uploaded = upload_picture(context, copy.extension, copy.bytes, reporter);
    if (!uploaded.ok)
        return ended(outcome, RestoreOutcome::Kind::failed,
                     reporter.messages.empty() ? uploaded.address : reporter.messages.front());
    outcome.kind = uploaded.committed ? RestoreOutcome::Kind::restored : RestoreOutcome::Kind::already_there;
    outcome.address = uploaded.address;
    return outcome;
}

RestoreOutcome restore_now(const UploadContext& context, const std::string& digest) {
    using Kind = RestoreOutcome::Kind;
    RestoreOutcome outcome;
    outcome.digest = digest;
    if (!is_digest_text(digest))
        return ended(outcome, Kind::failed, utf8_to_gbk("不是图片的摘要：") + visible_text(digest));
    const std::unique_ptr<HostingService> service = open_hosting_service(context);
    service->set_wait_notice(context.wait_notice);
    if (std::string problem = service->profile_problem(); !problem.empty())
        return ended(outcome, Kind::failed, problem);

    const PictureRecordLookup record = find_picture_record(context, digest);
    if (!record.answered)
        return ended(outcome, Kind::failed, record.error);
    if (!record.address)
        return restore_unrecorded(context, outcome);
    // Only a file of this repository comes back under the recorded address.
    if (!is_recorded_file_address(*record.address, *service, digest))
        return ended(outcome, Kind::failed, utf8_to_gbk("记录中的地址不在当前仓库：") + visible_text(*record.address));
    const std::string type = recorded_type(*record.address, digest);

    const ArchivedPicture copy = find_archive_copy(context.program_dir, digest, context.max_picture_bytes);
    if (copy.state == ArchivedPicture::State::missing)
        return ended(outcome, Kind::no_copy, utf8_to_gbk("本地存档中没有这张图片"));
    if (copy.state == ArchivedPicture::State::damaged)
        return ended(outcome, Kind::no_copy, damaged_copy_message(digest));

    const std::string path = digest + type;
    const StoredContents stored = service->lookup(path);
    switch (stored.kind) {
    case StoredContents::Kind::file:
        if (stored.sha != git_blob_sha1(copy.bytes))
            return ended(outcome, Kind::conflict,
                         utf8_to_gbk("仓库中已有同名文件 ") + path + utf8_to_gbk("，但内容与本地存档不同"));
        outcome.kind = Kind::already_there;
        outcome.address = *record.address;
        return outcome;
    case StoredContents::Kind::other:
        return ended(outcome, Kind::conflict, utf8_to_gbk("仓库中的 ") + path + utf8_to_gbk(" 不是文件"));
    case StoredContents::Kind::unknown:
        return ended(outcome, Kind::failed, stored.reason);
    case StoredContents::Kind::absent:
        break;
    }
    const ContentsApiResult created = commit_picture(*service, path, copy.bytes, commit_message_now());
    if (!created.ok)
        return ended(outcome, Kind::failed, created.reason);
    outcome.kind = Kind::restored;
    outcome.address = created.address;
    return outcome;
}

} // namespace

RestoreOutcome restore_picture(const UploadContext& context, const std::string& digest) {
    RestoreOutcome outcome = restore_now(context, digest);
    // The link works again now: the status file says so at once, not only once a window that saw it closes.
    if (outcome.ok() && !outcome.address.empty()) {
        LinkStatusMemory memory;
        memory.remember(digest, outcome.address, LinkStatus::valid, unix_now());
        memory.save(link_status_file_path(context.program_dir));
    }
    return outcome;
}

std::vector<std::string> expired_digests(const UploadContext& context, const LinkCheckOptions& options,
                                         std::string* error) {
    const std::vector<UploadRecord> records = list_picture_records(context, error);
    std::vector<LinkTarget> targets;
    for (const UploadRecord& record : records)
        targets.push_back(LinkTarget::of(record));
    std::vector<bool> expired(targets.size(), false);
    LinkCheckEvents events;
    events.finished = [&](std::size_t index, LinkStatus status) { expired[index] = status == LinkStatus::expired; };
    check_links(targets, options, events);
    std::vector<std::string> digests;
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (expired[i])
            digests.push_back(targets[i].digest);
    return digests;
}

std::string restore_summary(const RestoreOutcome& outcome) {
    switch (outcome.kind) {
    case RestoreOutcome::Kind::restored:
        return utf8_to_gbk("已恢复：") + outcome.address;
    case RestoreOutcome::Kind::already_there:
        return utf8_to_gbk("仓库中已有这张图片，无需恢复：") + outcome.address;
    default:
        return utf8_to_gbk("恢复失败：") + outcome.reason;
    }
}

} // namespace velpic
