#include "cli/check_command.h"

#include "cli/commands.h"
#include "records/link_check.h"
#include "records/link_status_memory.h"
#include "records/record_list.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "settings/stored_settings.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <optional>

namespace velpic {

namespace {

struct CheckArguments {
    bool deep = false;
    std::optional<std::string> referer; // as given; nullopt: the stored one
    int jobs = kDefaultLinkCheckJobs;
    int max_age_hours = 0; // 0: every link is checked
    std::optional<int> rate; // nullopt: the stored one
};

// A whole number from low to high, nothing else.
std::optional<int> number_in(const std::string& text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    auto [stop, code] = std::from_chars(text.data(), end, value);
    if (code != std::errc() || stop != end || value < low || value > high)
        return std::nullopt;
    return value;
}

// The value of "--name VALUE" or "--name=VALUE" at args[i] (i moves past it); nullopt when args[i] is not name.
std::optional<std::string> option_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
                                        bool& missing) {
    const std::string& arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) {
            missing = true;
            return std::nullopt;
        }
        return args[++i];
    }
    if (arg.starts_with(name + "="))
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

// The arguments, or an error message for err.
std::optional<CheckArguments> parse(const std::vector<std::string>& args, std::string& error) {
    CheckArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool missing = false;
        if (args[i] == "--deep") {
            parsed.deep = true;
        } else if (std::optional<std::string> referer = option_value(args, i, "--referer", missing)) {
            if (!link_check_referer(*referer)) {
                error = "--referer takes an http:// or https:// address";
                return std::nullopt;
            }
            parsed.referer = *referer;
        } else if (std::optional<std::string> jobs = option_value(args, i, "--jobs", missing)) {
            const std::optional<int> value = number_in(*jobs, 1, kMaxLinkCheckJobs);
            if (!value) {
                error = "--jobs takes a number from 1 to " + std::to_string(kMaxLinkCheckJobs);
                return std::nullopt;
            }
            parsed.jobs = *value;
        } else if (std::optional<std::string> rate = option_value(args, i, "--rate", missing)) {
            parsed.rate = number_in(*rate, 0, kMaxLinkCheckHostRate);
            if (!parsed.rate) {
                error = "--rate takes a number from 0 to " + std::to_string(kMaxLinkCheckHostRate);
                return std::nullopt;
            }
        } else if (std::optional<std::string> hours = option_value(args, i, "--max-age", missing)) {
            const std::optional<int> value = number_in(*hours, 0, kMaxCheckMaxAgeHours);
            if (!value) {
                error = "--max-age takes a number of hours from 0 to " + std::to_string(kMaxCheckMaxAgeHours);
                return std::nullopt;
            }
            parsed.max_age_hours = *value;
        } else {
            error = missing ? args[i] + " needs a value" : "unknown argument: " + args[i];
            return std::nullopt;
        }
    }
    return parsed;
}

// "\r检测中 k/n" on a terminal, cleared before each line of output so the two streams do not mix on screen.
class Progress {
public:
    Progress(std::ostream& err, bool shown, std::size_t total) : err_(err), shown_(shown), total_(total) {}
    void show(std::size_t done) {
        if (shown_ && total_ > 0)
            err_ << "\r\x1b[K\xE6\xA3\x80\xE6\xB5\x8B\xE4\xB8\xAD " /* 检测中 */ << done << "/" << total_ << std::flush;
    }
    void clear() {
        if (shown_ && total_ > 0)
            err_ << "\r\x1b[K" << std::flush;
    }

private:
    std::ostream& err_;
    bool shown_;
    std::size_t total_;
};

} // namespace

const char* const kCheckHelp =
    "checks the address of every record of the configured store, as the records page does, and\n"
    "         prints one line per record: status, digest and address, tab-separated. The exit status is 0\n"
    "         when every link is valid (有效), 1 when any is not, 2 on misuse.\n"
    "         --deep         read each picture whole and compare its MD5 with the record's digest\n"
    "         --referer URL  send this Referer (default: the one saved in the settings; \"\" for none)\n"
    "         --jobs N       checks at once, 1 to 16 (default 4)\n"
    "         --rate N       checks started a second per host, evenly spaced; 0: no limit (default: the\n"
    "                        setting check-rate, 8 unless changed). A host that answers 429 or 503 with\n"
    "                        Retry-After is left alone for that long whatever the rate.\n"
    "         --max-age H    a link checked less than H hours ago (by the records page or an earlier\n"
    "                        check) keeps the status found then; 0, the default, checks every link.\n"
    "                        Every status found is remembered in the program directory either way.";

int run_check_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << "usage: velpic [--data-dir DIR] check [--deep] [--referer URL] [--jobs N] [--rate N] [--max-age H]\n\n"
            << "check    " << kCheckHelp << "\n";
        return 0;
    }
    std::string error;
    const std::optional<CheckArguments> parsed = parse(args, error);
    if (!parsed) {
        err << "velpic check: " << error << "\n"
            << "usage: velpic [--data-dir DIR] check [--deep] [--referer URL] [--jobs N] [--rate N] [--max-age H]\n";
        return 2;
    }

    // Records that cannot be read say nothing about the links, as for `velpic records`: status 1.
    std::string problem;
    const StateSnapshot settings = stored_settings(&problem);
    if (!problem.empty()) {
        err << "velpic check: " << to_utf8(problem) << "\n";
        return 1;
    }
    if (settings.mysql_mode() && !settings.mysql.complete()) {
        err << "MySQL settings are incomplete (" << settings_file_path().string() << ")\n";
        return 1;
    }
    LinkCheckOptions options;
    options.deep = parsed->deep;
    options.jobs = parsed->jobs;
    options.per_host_rate = parsed->rate.value_or(settings.check_rate);
    const std::string referer = parsed->referer ? *parsed->referer : to_utf8(settings.check_referer);
    if (!link_check_referer(referer)) {
        err << "velpic check: the saved Referer is not an http:// or https:// address; checking without one\n";
    } else {
        options.referer = referer;
    }

    MysqlOutcome listing{true, {}};
    const std::vector<UploadRecord> records =
        load_record_rows(settings.mysql_mode(), settings.mysql, settings.machine_code, program_dir(), &listing);
    if (!listing.ok) {
        err << "cannot list the MySQL records: "
            << (is_valid_utf8(listing.error) ? listing.error : to_utf8(listing.error)) << "\n";
        return 1;
    }
    std::vector<LinkTarget> targets;
    for (const UploadRecord& record : records)
        targets.push_back(LinkTarget::of(record));

    // A deep check reads what a shallow one never did: what is remembered does not stand in for it.
    const std::filesystem::path memory_file = link_status_file_path(program_dir());
    LinkStatusMemory memory = LinkStatusMemory::load(memory_file);
    const std::int64_t now = unix_now();
    const std::vector<std::size_t> to_check =
        links_to_check(targets, memory, now, parsed->deep ? 0 : parsed->max_age_hours);

    // Lines go out in store order as soon as every line before them is decided.
    std::vector<std::optional<LinkStatus>> statuses(targets.size());
    for (std::size_t i = 0, next = 0; i < targets.size(); ++i) {
        if (next < to_check.size() && to_check[next] == i)
            ++next;
        else
            statuses[i] = memory.find(targets[i].digest, targets[i].address)->status;
    }
    std::size_t printed = 0, done = 0;
    Progress progress(err, &err == &std::cerr && ::isatty(STDERR_FILENO) == 1, to_check.size());
    const auto print_decided = [&] {
        if (printed < statuses.size() && statuses[printed])
            progress.clear();
        for (; printed < statuses.size() && statuses[printed]; ++printed) {
            const UploadRecord& record = records[printed];
            out << to_utf8(link_status_text(*statuses[printed])) << "\t" << to_utf8(record.ImgMd5) << "\t"
                << to_utf8(record.ImgUrl) << "\n";
        }
        out << std::flush;
        progress.show(done);
    };
    print_decided();
    std::vector<LinkTarget> checked;
    checked.reserve(to_check.size());
    for (std::size_t index : to_check)
        checked.push_back(targets[index]);
    LinkCheckEvents events;
    events.finished = [&](std::size_t index, LinkStatus status) {
        const std::size_t row = to_check[index];
        statuses[row] = status;
        memory.remember(targets[row].digest, targets[row].address, status, unix_now());
        ++done;
        print_decided();
    };
    check_links(checked, options, events);
    progress.clear();
    if (!checked.empty() && !memory.save(memory_file))
        err << "velpic check: cannot save the link statuses to " << memory_file.string() << "\n";
    const bool all_valid =
        std::all_of(statuses.begin(), statuses.end(), [](const auto& status) { return status == LinkStatus::valid; });
    return all_valid && printed == targets.size() ? 0 : 1;
}

const Command check_command{
    "check",
    "check [--deep] [--referer URL] [--jobs N] [--rate N] [--max-age H]",
    kCheckHelp,
    [](const std::vector<std::string>& args, CommandIo& io) { return run_check_command(args, io.out, io.err); },
};

} // namespace velpic
