// One hosting service behind one interface: create a file, look one up, delete one, clear the repository, commit
// several files at once, and the address of a file. One implementation per service (gitee_service.cpp,
// github_service.cpp, gitea_service.cpp), chosen from the profile; the upload, lifecycle and move code above speak
// only to this interface. Texts in and out are GBK.
#pragma once

#include "upload/clear_repository.h"
#include "upload/contents_api.h"
#include "upload/contents_delete.h"
#include "upload/contents_lookup.h"
#include "upload/repository_profile.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// One file of a commit that holds several: created with bytes, or deleted when its blob SHA-1 is given instead.
struct BatchFile {
    std::string path;
    std::string_view bytes; // not copied: stays alive while commit_files runs
    bool remove = false;
    std::string sha; // the blob SHA-1 the file has now, for a delete
};

struct BatchCommitResult {
    bool ok = false;           // one commit holds every file of the batch
    std::string reason;        // GBK, when not ok
    bool maybe_stored = false; // not ok, yet the commit may have been made (no decisive answer)
};

class HostingService {
public:
    explicit HostingService(RepositoryProfile profile) : profile_(std::move(profile)) {}
    virtual ~HostingService() = default;
    HostingService(const HostingService&) = delete;
    HostingService& operator=(const HostingService&) = delete;

    const RepositoryProfile& profile() const { return profile_; }

    // Why nothing can be sent with this profile (GBK), or empty: names that would change an API path, a service
    // address missing or unusable. Asks the service nothing.
    virtual std::string profile_problem() const;

    // The address shown, copied and recorded for a file at path: the address prefix + path when one is set, else the
    // service's raw-file address.
    std::string file_address(const std::string& path) const;
    // What every file address of this repository starts with.
    std::string address_prefix() const;
    // Whether address is exactly the file address of path, path being one plain file name (no "/" or "\\", no
    // control byte, not "." or ".."): no other file, folder or repository can be named through it.
    bool is_file_address(const std::string& address, const std::string& path) const;

    // Commits one new file. It is ok only when the service's answer shows the file committed under path; the
    // address is then file_address(path).
    virtual ContentsApiResult create_file(const std::string& path, std::string_view bytes,
                                          const std::string& message) = 0;
    virtual StoredContents lookup(const std::string& path) = 0;
    // Why a file that lookup found under path is not the one this repository's address names (GBK), or empty.
    virtual std::string stored_address_problem(const StoredContents& stored, const std::string& path) const {
        (void)stored;
        (void)path;
        return {};
    }
    virtual ContentsDeleteResult delete_file(const std::string& path, const std::string& sha,
                                             const std::string& message) = 0;
    // Empties the repository in one step (the service's clear call, or one commit removing every file).
    virtual ClearOutcome clear() = 0;

    // How many files one commit_files call may take; 1 means the service commits one file per request.
    virtual std::size_t batch_limit() const { return 1; }
    // One commit that creates or removes every file of files (at most batch_limit of them).
    virtual BatchCommitResult commit_files(const std::vector<BatchFile>& files, const std::string& message);

    // The branch the files go to when it is known without asking the service anew: the profile's, else the
    // repository's default branch once it was asked for; empty when not known.
    virtual std::string branch_in_use() const { return profile_.branch; }

    // The repository's web page, opened after a clear.
    virtual std::string repository_page() const = 0;

    // Told (GBK) while the service has asked to wait before the next request ("服务器要求稍候"); the wait goes on.
    void set_wait_notice(std::function<void(const std::string&)> notice) { wait_notice_ = std::move(notice); }

protected:
    // The service's own raw-file address of path, without the address prefix.
    virtual std::string raw_address(const std::string& path) const = 0;
    void notice_wait(const std::string& text) const {
        if (wait_notice_)
            wait_notice_(text);
    }

    RepositoryProfile profile_;

private:
    std::function<void(const std::string&)> wait_notice_;
};

std::unique_ptr<HostingService> open_hosting_service(const RepositoryProfile& profile);

// "服务器要求稍候" (GBK).
std::string service_wait_text();

} // namespace velpic
