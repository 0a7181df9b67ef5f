// GET many addresses through one libcurl multi handle: a few transfers at once, connections kept open and reused
// per host, DNS answers and TLS sessions shared. Reads the leading bytes of each body, or the whole body with its
// MD5 digest, and hands each outcome to the caller as it completes.
#pragma once

#include "http/host_pacer.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace velpic {

struct BatchGetOptions {
    int jobs = 4;          // transfers in flight; taken into 1..16
    int max_redirects = 5; // hops followed; one more ends the transfer with the redirect as its answer
    // Connecting, and a stall while sending or receiving, may last this long; a transfer of leading bytes as a
    // whole too (a whole body may take ten times as long).
    int timeout_seconds = 30;
    std::vector<std::string> header_lines; // "Name: value", sent on every request and every redirect hop
    std::size_t head_limit = 4096;         // leading body bytes kept
    // False: the transfer ends once head_limit bytes are in. True: the whole body is read (up to 256 MiB) and
    // digested.
    bool whole_body = false;
    bool verify_tls = true; // against the system's CAs plus the bundle named by VELPIC_CA_FILE
    // Request starts per second to one host, spaced evenly and counted together with every other batch on the same
    // pacer; 0: no limit. Redirect hops that libcurl follows on its own are not counted. Urls of a host held back
    // wait aside while those of other hosts start.
    int per_host_rate = 0;
    // An answer 429 or 503 with Retry-After pauses its host on the pacer for the time asked (at most
    // max_retry_after_seconds) and its address is fetched again, up to this many times; after that (and with 0)
    // the answer is the result.
    int retry_limit = 0;
    int max_retry_after_seconds = 120;
    HostPacer* pacer = nullptr; // nullptr: HostPacer::shared()
};

struct BatchGetResult {
    bool head_complete = false; // the final answer's status line and headers all arrived
    int status = 0;             // its status code
    std::string head;           // its first body bytes, at most head_limit
    // The body arrived in full (or, without whole_body, at least head_limit bytes of it).
    bool body_complete = false;
    std::string body_md5; // with whole_body and a complete body: 32 lower-case hex digits
    int redirects = 0;    // hops followed
};

// Ends a running batch_get from any thread: no transfer starts and no request goes out once it is requested.
class BatchGetStop {
public:
    void request();
    bool requested() const { return requested_.load(); }

private:
    friend class BatchGetRun;
    void attach(int wake_fd);
    void detach();

    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    int wake_fd_ = -1; // written to by request() to wake the running batch
};

struct BatchGetEvents {
    std::function<void(std::size_t index)> started;                                // its first request goes out
    std::function<void(std::size_t index, const BatchGetResult& result)> finished; // in completion order
    // The batch waits because a host asked for a pause (true), or no longer does (false).
    std::function<void(bool waiting)> host_wait;
};

// Fetches urls on the calling thread, in order of index as slots free up (one whose host is held back may start after
// later ones of other hosts), and returns when every one has finished or the stop was requested (transfers cut off
// by the stop do not report). Only http and https are fetched; a redirect from https to plain http is not followed.
// urls must be %-encoded already.
void batch_get(const std::vector<std::string>& urls, const BatchGetOptions& options, const BatchGetEvents& events,
               BatchGetStop* stop = nullptr);

// The same for count addresses handed out one at a time as their transfers start (on the calling thread), so that
// a long list need not be held twice.
using BatchGetUrlSource = std::function<std::string(std::size_t index)>;
void batch_get(std::size_t count, const BatchGetUrlSource& url_at, const BatchGetOptions& options,
               const BatchGetEvents& events, BatchGetStop* stop = nullptr);

} // namespace velpic
