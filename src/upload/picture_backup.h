// A backup of what is already up: every recorded picture without a verified archive copy is fetched from its
// address and kept only when the MD5 of the whole body equals its digest.
#pragma once

#include "records/link_check.h"
#include "upload/upload_picture.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velpic {

struct BackupItem {
    std::string digest;
    bool ok = false;
    std::string reason; // GBK, when not ok: 已失效, 内容异常, 检测失败, a digest mismatch, or why it was not kept
};

struct BackupReport {
    bool listed = false;           // the records could be read
    std::string error;             // GBK, when not listed
    std::size_t records = 0;       // records in the store
    std::size_t already_kept = 0;  // records that had a verified copy before the run
    std::vector<BackupItem> items; // one per record fetched, in completion order

    // Every record has a verified copy now.
    bool complete() const;
};

// item fires on the calling thread as each fetched record is decided.
BackupReport
backup_pictures(const UploadContext& context, const LinkCheckOptions& options,
                const std::function<void(const BackupItem& item, std::size_t done, std::size_t total)>& item = {});

// "摘要不符（内容不是记录的图片）" (GBK).
std::string digest_mismatch_reason();

} // namespace velpic
