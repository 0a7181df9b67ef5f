#include "upload/commit_picture.h"

#include "runtime/codepage.h"
#include "upload/contents_lookup.h"
#include "upload/git_blob.h"
#include "upload/token_request.h"

namespace velpic {

ContentsApiResult commit_picture(HostingService& service, const std::string& path, std::string_view data,
                                 const std::string& message) {
    ContentsApiResult created = service.create_file(path, data, message);
    if (created.ok || !created.maybe_stored)
        return created;

    const StoredContents stored = service.lookup(path);
    ContentsApiResult resolved;
    switch (stored.kind) {
    case StoredContents::Kind::file:
        // The blob SHA-1 decides, never the answer's download address: a private repository's carries an
        // expiring token, and an address prefix is not the service's to know.
        if (stored.sha != git_blob_sha1(data)) {
            resolved.reason = utf8_to_gbk("仓库中已有同名文件 ") + path + utf8_to_gbk("，但内容与这张图片不同");
        } else if (!is_plain_file_name(path)) {
            resolved.reason = visible_text(path);
        } else if (std::string problem = service.stored_address_problem(stored, path); !problem.empty()) {
            resolved.reason = std::move(problem);
        } else {
            resolved.ok = true;
            resolved.already_stored = true;
            resolved.address = service.file_address(path);
        }
        return resolved;
    case StoredContents::Kind::other:
        resolved.reason = utf8_to_gbk("仓库中的 ") + path + utf8_to_gbk(" 不是文件，无法上传");
        return resolved;
    case StoredContents::Kind::absent:
    case StoredContents::Kind::unknown:
        break;
    }
    return created;
}

} // namespace velpic
