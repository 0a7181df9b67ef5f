// Whether recorded addresses still serve their pictures: the answer's status, the leading bytes' signature for the
// record's type and, in a deep check, the digest of the whole body. The window and the command line share it.
#pragma once

#include "http/batch_get.h"
#include "records/record_list.h"
#include "records/upload_record.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

inline constexpr int kDefaultLinkCheckJobs = 4;
inline constexpr int kMaxLinkCheckJobs = 16;
// Checks started per second against one host, by every check in the process together.
inline constexpr int kDefaultLinkCheckHostRate = 8;
inline constexpr int kMaxLinkCheckHostRate = 1000;
// How often one address is asked again after its host answered 429 or 503 with Retry-After, and the longest pause
// taken for it.
inline constexpr int kLinkCheckRetries = 3;
inline constexpr int kLinkCheckLongestPause = 120;
// The first bytes are enough for every signature and for a not-found page's marker.
inline constexpr std::size_t kLinkCheckHeadBytes = 4096;

// What one check needs of a record; GBK as stored.
struct LinkTarget {
    std::string address;
    std::string type;   // ".png", ".JPG", ".webp" ...
    std::string digest; // MD5 of the uploaded bytes, for a deep check

    static LinkTarget of(const UploadRecord& record) { return {record.ImgUrl, record.ImgType, record.ImgMd5}; }
};

struct LinkCheckOptions {
    bool deep = false;                // read whole bodies and compare their MD5 with the records' digests
    std::string referer;              // sent as Referer (a checked address, see link_check_referer); empty: none
    int jobs = kDefaultLinkCheckJobs; // checks in flight, 1..16
    int timeout_seconds = 30;
    int per_host_rate = kDefaultLinkCheckHostRate;      // 0: no limit (for measuring the check itself)
    int longest_pause_seconds = kLinkCheckLongestPause; // the bound on a Retry-After
    HostPacer* pacer = nullptr;                         // nullptr: the process's own
};

enum class PictureSignature { png, jpeg, gif, webp, any };

// The signature the record's type promises, letter case ignored; an unknown type accepts any of the four.
PictureSignature signature_for_type(std::string_view type);

enum class SignatureMatch { yes, no, undecided };

// Whether bytes begin with the signature. undecided: too few bytes to tell and more may follow (complete false).
SignatureMatch match_signature(PictureSignature signature, std::string_view bytes, bool complete);

// The status of one answer: "检测失败" without a whole answer head; "已失效" for 404 and 410; "有效" for 2xx with
// the type's signature (and, when deep, the record's digest); "已失效" for a body carrying "404 Not Found";
// "内容异常" for everything else.
LinkStatus classify_link(const BatchGetResult& answer, const LinkTarget& target, bool deep);

// A Referer value from what the user typed (UTF-8): blanks around it dropped, an http or https address with bytes
// that cannot go on a header line %-encoded. Empty stays empty; anything else is nullopt.
std::optional<std::string> link_check_referer(std::string_view text);

// The header lines every check sends (User-Agent as the check always sent, the usual browser headers, Referer when
// given, and a Range for the leading bytes unless deep).
std::vector<std::string> link_check_header_lines(const LinkCheckOptions& options);

struct LinkCheckEvents {
    std::function<void(std::size_t index)> started; // its request is about to go out
    std::function<void(std::size_t index, LinkStatus status)> finished;
    // The check waits because the service asked for a pause (true), or no longer does (false).
    std::function<void(bool waiting)> host_wait;
};

// Checks every target on the calling thread, options.jobs at a time over reused connections, reporting each as it
// is decided. Returns when all are decided or stop was requested; after that no request of this run goes out.
void check_links(const std::vector<LinkTarget>& targets, const LinkCheckOptions& options, const LinkCheckEvents& events,
                 BatchGetStop* stop = nullptr);

// The same for count targets handed out one at a time (on the calling thread), so that the check of a long list
// holds no copy of it.
using LinkTargetSource = std::function<LinkTarget(std::size_t index)>;
void check_links(std::size_t count, const LinkTargetSource& target_at, const LinkCheckOptions& options,
                 const LinkCheckEvents& events, BatchGetStop* stop = nullptr);

} // namespace velpic
