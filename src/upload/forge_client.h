// Requests to a git forge's REST API (GitHub, Gitea, Forgejo): the token only in the Authorization header, and a
// wait the service asks for taken and the same request sent again, so that a rate limit slows a batch down instead
// of failing it.
#pragma once

#include "http/request_body.h"
#include "upload/token_request.h"

#include <functional>
#include <mutex>
#include <string>

namespace velpic {

// The wait, in seconds, an answer asks for before the same request may go again: 429, or 403 with Retry-After or
// an exhausted rate limit (x-ratelimit-remaining: 0, then until x-ratelimit-reset, epoch seconds against now_utc).
// Never above cap; -1 when the answer asks for no wait (a 403 without either is a refusal).
long long forge_wait_seconds(const TokenAnswer& answer, long long now_utc, long long cap);

// The value of the last header line of that name in a raw head, letter case ignored; empty when there is none.
std::string forge_header(const std::string& head, std::string_view name);

class ForgeClient {
public:
    // How many writes the forge takes from one user in a minute and in an hour; 0: no limit is known.
    struct WriteLimits {
        int per_minute = 0;
        int per_hour = 0;
    };

    // authorization: the whole header value ("Bearer …", "token …"); accept: the media type asked for. on_wait is
    // told each time a request has to wait (the service asked, or the write limits hold it back), before the wait.
    ForgeClient(std::string authorization, std::string accept, WriteLimits limits, std::function<void()> on_wait);

    TokenAnswer get(const std::string& url) const;
    // A JSON body (UTF-8). A 409 (writes racing in the repository) is tried again a few times after a short pause.
    TokenAnswer write(const std::string& url, int method, const std::string& json) const;
    TokenAnswer write(const std::string& url, int method, const RequestBody& json) const;

private:
    template <class Send> TokenAnswer with_waits(Send&& send, const std::string& url, bool write) const;
    std::string headers(bool json_body) const;

    std::string authorization_;
    std::string accept_;
    WriteLimits limits_;
    std::function<void()> on_wait_;
};

// Held around every write to one repository (key: its API address): parallel writes make the forge answer 409.
std::unique_lock<std::mutex> forge_write_lock(const std::string& repository_key);

} // namespace velpic
