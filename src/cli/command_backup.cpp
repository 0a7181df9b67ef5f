// `velpic backup [--jobs N]`: fetches every recorded picture that has no archive copy yet.
#include "cli/commands.h"

#include "cli/command_context.h"
#include "cli/command_options.h"
#include "runtime/codepage.h"
#include "upload/picture_backup.h"

#include <charconv>

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    std::string jobs_text;
    CommandOptions options;
    options.value("--jobs", &jobs_text);
    std::vector<std::string> operands;
    std::string why;
    int jobs = kDefaultLinkCheckJobs;
    if (options.parse(args, operands, why) && operands.empty() && !jobs_text.empty()) {
        const char* end = jobs_text.data() + jobs_text.size();
        auto [stop, code] = std::from_chars(jobs_text.data(), end, jobs);
        if (code != std::errc() || stop != end || jobs < 1 || jobs > kMaxLinkCheckJobs)
            why = "--jobs takes a number from 1 to " + std::to_string(kMaxLinkCheckJobs);
    } else if (why.empty() && !operands.empty()) {
        why = "takes no operands";
    }
    if (!why.empty()) {
        io.err << "velpic backup: " << why << "\n\n";
        print_usage(io.err);
        return 2;
    }
    int status = 0;
    std::optional<PictureCommandContext> context = picture_command_context("backup", io, status);
    if (!context)
        return status;
    context->check.jobs = jobs;
    const BackupReport report = backup_pictures(
        context->upload, context->check, [&](const BackupItem& item, std::size_t done, std::size_t total) {
            io.err << "[" << done << "/" << total << "] " << to_utf8(item.digest) << ": "
                   << (item.ok ? std::string("已存档") : terminal_text(item.reason)) << "\n"
                   << std::flush;
        });
    if (!report.listed) {
        io.err << "velpic backup: " << terminal_text(report.error) << "\n";
        return 1;
    }
    std::size_t kept = 0;
    for (const BackupItem& item : report.items)
        kept += item.ok ? 1 : 0;
    io.err << report.records << " 条记录：已有存档 " << report.already_kept << "，新存档 " << kept << "，失败 "
           << report.items.size() - kept << "\n";
    return report.complete() ? 0 : 1;
}

} // namespace

const Command backup_command{
    "backup",
    "backup [--jobs N]",
    "fetches every recorded picture that has no archive copy yet and keeps it only when the MD5 of\n"
    "         the whole body equals its digest; progress and each failure's reason on standard error. The\n"
    "         exit status is 0 when every record has a verified copy, 1 otherwise.",
    run,
};

} // namespace velpic
