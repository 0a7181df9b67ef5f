#include "records/link_check.h"

#include "http/curl_exchange.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"

#include <algorithm>
#include <array>

namespace velpic {

namespace {

constexpr const char* link_check_user_agent = "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like "
                                              "Gecko) Chrome/50.0.2661.87 Safari/537.36";
constexpr std::string_view expiry_marker = "404 Not Found";

// Bytes that must match, position by position; '?' in a pattern stands for any byte (WebP's chunk size).
struct Pattern {
    std::string_view bytes;
    bool wildcards = false;
};

SignatureMatch match_pattern(const Pattern& pattern, std::string_view bytes, bool complete) {
    const std::size_t n = std::min(bytes.size(), pattern.bytes.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (pattern.wildcards && pattern.bytes[i] == '?')
            continue;
        if (bytes[i] != pattern.bytes[i])
            return SignatureMatch::no;
    }
    if (bytes.size() >= pattern.bytes.size())
        return SignatureMatch::yes;
    return complete ? SignatureMatch::no : SignatureMatch::undecided;
}

std::vector<Pattern> patterns_of(PictureSignature signature) {
    using namespace std::string_view_literals;
    static const Pattern png{"\x89PNG\r\n\x1A\n"sv};
    static const Pattern jpeg{"\xFF\xD8\xFF"sv};
    static const Pattern gif87{"GIF87a"sv};
    static const Pattern gif89{"GIF89a"sv};
    static const Pattern webp{"RIFF????WEBP"sv, true};
    switch (signature) {
    case PictureSignature::png:
        return {png};
    case PictureSignature::jpeg:
        return {jpeg};
    case PictureSignature::gif:
        return {gif87, gif89};
    case PictureSignature::webp:
        return {webp};
    case PictureSignature::any:
        break;
    }
    return {png, jpeg, gif87, gif89, webp};
}

bool is_hex_digest_of(std::string_view wanted, std::string_view got) {
    return !got.empty() && text_lower(wanted) == got;
}

} // namespace

PictureSignature signature_for_type(std::string_view type) {
    std::string name = text_lower(type);
    if (!name.empty() && name.front() == '.')
        name.erase(0, 1);
    if (name == "png")
        return PictureSignature::png;
    if (name == "jpg" || name == "jpeg" || name == "jpe")
        return PictureSignature::jpeg;
    if (name == "gif")
        return PictureSignature::gif;
    if (name == "webp")
        return PictureSignature::webp;
    return PictureSignature::any;
}

SignatureMatch match_signature(PictureSignature signature, std::string_view bytes, bool complete) {
    SignatureMatch best = SignatureMatch::no;
    for (const Pattern& pattern : patterns_of(signature)) {
        const SignatureMatch match = match_pattern(pattern, bytes, complete);
        if (match == SignatureMatch::yes)
            return match;
        if (match == SignatureMatch::undecided)
            best = match;
    }
    return best;
}

LinkStatus classify_link(const BatchGetResult& answer, const LinkTarget& target, bool deep) {
    if (!answer.head_complete)
        return LinkStatus::failed;
    if (answer.status == 404 || answer.status == 410)
        return LinkStatus::expired;
    if (answer.status >= 200 && answer.status < 300) {
        switch (match_signature(signature_for_type(target.type), answer.head, answer.body_complete)) {
        case SignatureMatch::yes:
            if (!deep)
                return LinkStatus::valid;
            if (!answer.body_complete)
                return LinkStatus::failed; // the picture began but could not be read to its end
            return is_hex_digest_of(target.digest, answer.body_md5) ? LinkStatus::valid : LinkStatus::abnormal;
        case SignatureMatch::undecided:
            return LinkStatus::failed; // cut off before its first bytes could tell
        case SignatureMatch::no:
            break;
        }
    }
    if (answer.head.find(expiry_marker) != std::string::npos)
        return LinkStatus::expired;
    return LinkStatus::abnormal;
}

std::optional<std::string> link_check_referer(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    const std::string address = percent_encode_unsafe(std::string(text.substr(first, last - first + 1)));
    const std::string scheme = text_lower(address.substr(0, address.find("://") + 3));
    if ((scheme != "http://" && scheme != "https://") || address.size() == scheme.size())
        return std::nullopt;
    return address;
}

std::vector<std::string> link_check_header_lines(const LinkCheckOptions& options) {
    std::vector<std::string> lines = {
        std::string("User-Agent: ") + link_check_user_agent,
        "Accept: text/html, application/xhtml+xml, */*",
        "Accept-Encoding: identity",
        "Accept-Language: zh-cn",
        "Cache-Control: no-cache",
    };
    if (const std::optional<std::string> referer = link_check_referer(options.referer); referer && !referer->empty())
        lines.push_back("Referer: " + *referer);
    // Asking for the leading bytes only lets a server end the answer there and keep the connection for the next
    // check; a server that ignores the range gets its transfer cut.
    if (!options.deep)
        lines.push_back("Range: bytes=0-" + std::to_string(kLinkCheckHeadBytes - 1));
    return lines;
}

void check_links(const std::vector<LinkTarget>& targets, const LinkCheckOptions& options, const LinkCheckEvents& events,
                 BatchGetStop* stop) {
    check_links(
        targets.size(), [&targets](std::size_t index) { return targets[index]; }, options, events, stop);
}

void check_links(std::size_t count, const LinkTargetSource& target_at, const LinkCheckOptions& options,
                 const LinkCheckEvents& events, BatchGetStop* stop) {
    const BatchGetUrlSource url_at = [&target_at](std::size_t index) {
        return percent_encode_unsafe(to_utf8(target_at(index).address));
    };

    BatchGetOptions fetch;
    fetch.jobs = std::clamp(options.jobs, 1, kMaxLinkCheckJobs);
    fetch.max_redirects = 5;
    fetch.timeout_seconds = options.timeout_seconds;
    fetch.header_lines = link_check_header_lines(options);
    fetch.head_limit = kLinkCheckHeadBytes;
    fetch.whole_body = options.deep;
    // What a visitor's browser would refuse is not a working link.
    fetch.verify_tls = true;
    fetch.per_host_rate = std::max(0, options.per_host_rate);
    fetch.retry_limit = kLinkCheckRetries;
    fetch.max_retry_after_seconds = options.longest_pause_seconds;
    fetch.pacer = options.pacer;

    BatchGetEvents fetch_events;
    fetch_events.started = events.started;
    fetch_events.host_wait = events.host_wait;
    fetch_events.finished = [&](std::size_t index, const BatchGetResult& result) {
        if (events.finished)
            events.finished(index, classify_link(result, target_at(index), options.deep));
    };
    batch_get(count, url_at, fetch, fetch_events, stop);
}

} // namespace velpic
