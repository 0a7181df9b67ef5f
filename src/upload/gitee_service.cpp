#include "upload/gitee_service.h"

#include "upload/token_request.h"

namespace velpic {

ContentsApiResult GiteeService::create_file(const std::string& path, std::string_view bytes,
                                            const std::string& message) {
    return contents_api_create_file(profile_, path, bytes, message);
}

StoredContents GiteeService::lookup(const std::string& path) {
    return contents_api_lookup(profile_, path);
}

std::string GiteeService::stored_address_problem(const StoredContents& stored, const std::string& path) const {
    return stored.download_url == raw_address(path) ? std::string() : visible_text(stored.download_url);
}

ContentsDeleteResult GiteeService::delete_file(const std::string& path, const std::string& sha,
                                               const std::string& message) {
    return contents_api_delete_file(profile_, path, sha, message);
}

ClearOutcome GiteeService::clear() {
    return clear_repository_outcome(profile_);
}

std::string GiteeService::repository_page() const {
    return effective_service_url(profile_) + profile_.owner + "/" + profile_.repo;
}

std::string GiteeService::raw_address(const std::string& path) const {
    return raw_address_prefix(profile_) + path;
}

} // namespace velpic
