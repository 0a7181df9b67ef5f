#include "upload/picture_delete.h"

#include "records/link_status_memory.h"
#include "runtime/codepage.h"
#include "runtime/datetime.h"
#include "upload/contents_api.h"
#include "upload/contents_delete.h"
#include "upload/contents_lookup.h"
#include "upload/digest_lock.h"
#include "upload/hosting_service.h"
#include "upload/picture_archive.h"
#include "upload/picture_records.h"
#include "upload/token_request.h"

#include <algorithm>
#include <vector>

namespace velpic {

namespace {

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

DeleteOutcome failed(DeleteOutcome outcome, std::string reason) {
    outcome.ok = false;
    outcome.reason = std::move(reason);
    return outcome;
}

void add_type(std::vector<std::string>& types, const std::string& type) {
    if (!type.empty() && std::find(types.begin(), types.end(), type) == types.end())
        types.push_back(type);
}

} // namespace

DeleteTarget parse_delete_target(const std::string& text, const HostingService& service) {
    DeleteTarget target;
    if (is_digest_text(lower_ascii(text))) {
        target.digest = lower_ascii(text);
        return target;
    }
    // The last part of the address is the file's name: a digest and a picture type.
    const std::size_t name = text.rfind('/') + 1;
    const std::string digest = text.substr(name, 32);
    if (is_digest_text(digest) && is_recorded_file_address(text, service, digest)) {
        target.digest = digest;
        target.type = text.substr(name + digest.size());
        return target;
    }
    target.error = utf8_to_gbk("不是图片的摘要，也不是本仓库图片的地址：") + visible_text(text);
    return target;
}

std::string delete_message_now() {
    return datetime_to_text(current_datetime()) + " delete";
}

DeleteOutcome delete_picture(const UploadContext& context, const std::string& digest_or_address, bool keep_copy) {
    DeleteOutcome outcome;
    const std::unique_ptr<HostingService> service = open_hosting_service(context);
    service->set_wait_notice(context.wait_notice);
    if (std::string problem = service->profile_problem(); !problem.empty())
        return failed(outcome, problem);
    const DeleteTarget target = parse_delete_target(digest_or_address, *service);
    outcome.digest = target.digest;
    if (target.digest.empty())
        return failed(outcome, target.error);
    const std::string& digest = target.digest;
    // An upload of the same picture in this process waits, and so would its record.
    const DigestLock lock(digest);

    const PictureRecordLookup record = find_picture_record(context, digest);
    if (!record.answered)
        return failed(outcome, record.error);
    std::vector<std::string> types;
    add_type(types, target.type);
    if (record.address) {
        // A record of another repository (the settings changed since) names a file this delete cannot reach;
        // taking the record out would leave that file without a trace.
        if (!is_recorded_file_address(*record.address, *service, digest))
            return failed(outcome, utf8_to_gbk("记录中的地址不在当前仓库：") + visible_text(*record.address));
        add_type(types, recorded_type(*record.address, digest));
    }
    const ArchivedPicture copy = find_archive_copy(context.program_dir, digest, 0);
    if (copy.state != ArchivedPicture::State::missing)
        add_type(types, copy.extension);
    if (types.empty()) // nothing here says which name it had at the service
        for (const char* type : {".png", ".jpg", ".jpeg", ".gif", ".webp"})
            types.emplace_back(type);

    for (const std::string& type : types) {
        const std::string path = digest + type;
        const StoredContents stored = service->lookup(path);
        switch (stored.kind) {
        case StoredContents::Kind::absent:
            continue;
        case StoredContents::Kind::other:
            return failed(outcome, utf8_to_gbk("仓库中的 ") + path + utf8_to_gbk(" 不是文件，没有删除"));
        case StoredContents::Kind::unknown:
            return failed(outcome, stored.reason);
        case StoredContents::Kind::file:
            break;
        }
        const ContentsDeleteResult deleted = service->delete_file(path, stored.sha, delete_message_now());
        if (deleted.kind == ContentsDeleteResult::Kind::failed)
            return failed(outcome, deleted.reason);
        outcome.file_deleted = outcome.file_deleted || deleted.kind == ContentsDeleteResult::Kind::deleted;
    }

    // The file is gone at the service: now no record may point at it. Sections or rows of the digest that do not
    // count as records (cut short, or junk of an older version) go as well.
    const PictureRecordRemoval removal = remove_picture_record(context, digest);
    if (!removal.ok)
        return failed(outcome, removal.error);
    outcome.record_removed = removal.removed;
    // The status file is read with the records: a line left for the picture would outlive it.
    LinkStatusMemory::forget(link_status_file_path(context.program_dir), digest);
    if (!keep_copy && !remove_archive_copy(context.program_dir, digest, &outcome.copy_removed))
        return failed(outcome,
                      utf8_to_gbk("无法删除本地存档 ") +
                          utf8_to_gbk(archive_copy_path(context.program_dir, digest, "").parent_path().string()));
    outcome.ok = true;
    return outcome;
}

std::string delete_summary(const DeleteOutcome& outcome) {
    if (!outcome.ok)
        return utf8_to_gbk("删除失败：") + outcome.reason;
    if (outcome.nothing_to_do())
        return utf8_to_gbk("没有需要删除的内容（仓库中没有该文件，也没有它的记录）");
    std::string done;
    auto add = [&](bool step, const char* what) {
        if (!step)
            return;
        if (!done.empty())
            done += utf8_to_gbk("、");
        done += utf8_to_gbk(what);
    };
    add(outcome.file_deleted, "仓库中的文件");
    add(outcome.record_removed, "记录");
    add(outcome.copy_removed, "本地存档");
    return utf8_to_gbk("已删除") + done;
}

} // namespace velpic
