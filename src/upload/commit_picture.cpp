#include "upload/commit_picture.h"

#include "runtime/codepage.h"
#include "upload/contents_lookup.h"
#include "upload/git_blob.h"
#include "upload/token_request.h"

namespace velpic {

ContentsApiResult commit_picture(const std::string& owner, const std::string& repo, const std::string& path,
                                 const std::string& access_token, const std::string& data, const std::string& message) {
    ContentsApiResult created = contents_api_create_file(owner, repo, path, access_token, data, message);
    if (created.ok || !created.maybe_stored)
        return created;

    const StoredContents stored = contents_api_lookup(owner, repo, path, access_token);
    ContentsApiResult resolved;
    switch (stored.kind) {
    case StoredContents::Kind::file:
        if (stored.sha != git_blob_sha1(data)) {
            resolved.reason = utf8_to_gbk("仓库中已有同名文件 ") + path + utf8_to_gbk("，但内容与这张图片不同");
        } else if (is_committed_file_address(stored.download_url, owner, repo, path)) {
            resolved.ok = true;
            resolved.already_stored = true;
            resolved.address = stored.download_url;
        } else {
            resolved.reason = visible_text(stored.download_url);
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
