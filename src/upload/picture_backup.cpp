#include "upload/picture_backup.h"

#include "records/picture_fetch.h"
#include "records/record_list.h"
#include "runtime/codepage.h"
#include "upload/picture_archive.h"
#include "upload/picture_records.h"

namespace velpic {

bool BackupReport::complete() const {
    if (!listed)
        return false;
    for (const BackupItem& item : items)
        if (!item.ok)
            return false;
    return already_kept + items.size() == records;
}

std::string digest_mismatch_reason() {
    return utf8_to_gbk("摘要不符（内容不是记录的图片）");
}

BackupReport
backup_pictures(const UploadContext& context, const LinkCheckOptions& options,
                const std::function<void(const BackupItem& item, std::size_t done, std::size_t total)>& item) {
    BackupReport report;
    std::string error;
    const std::vector<UploadRecord> records = list_picture_records(context, &error);
    if (!error.empty()) {
        report.error = error;
        return report;
    }
    report.listed = true;
    report.records = records.size();

    std::vector<LinkTarget> targets;
    for (const UploadRecord& record : records) {
        if (has_verified_copy(context.program_dir, record.ImgMd5))
            ++report.already_kept;
        else
            targets.push_back(LinkTarget::of(record));
    }
    fetch_pictures(targets, options, [&](std::size_t index, FetchedPicture picture) {
        BackupItem& done = report.items.emplace_back();
        const LinkTarget& target = targets[index];
        done.digest = target.digest;
        if (picture.digest_matches) {
            done.reason = keep_archive_copy(context.program_dir, target.digest, target.type, picture.bytes);
            done.ok = done.reason.empty();
        } else if (picture.digest_mismatch) {
            done.reason = digest_mismatch_reason();
        } else {
            done.reason = link_status_text(picture.status == LinkStatus::valid ? LinkStatus::failed : picture.status);
        }
        if (item)
            item(done, report.items.size(), targets.size());
    });
    return report;
}

} // namespace velpic
