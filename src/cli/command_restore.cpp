// `velpic restore [DIGEST...]`: commits recorded pictures again from their archive copies.
#include "cli/commands.h"

#include "cli/command_context.h"
#include "records/record_list.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "upload/picture_restore.h"

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    for (const std::string& arg : args) {
        if (arg.starts_with("-")) {
            io.err << "velpic restore: unknown option " << arg << "\n\n";
            print_usage(io.err);
            return 2;
        }
    }
    int status = 0;
    const std::optional<PictureCommandContext> context = picture_command_context("restore", io, status);
    if (!context)
        return status;
    std::vector<std::string> digests;
    for (const std::string& arg : args)
        digests.push_back(text_lower(utf8_to_gbk(arg)));
    if (args.empty()) {
        std::string error;
        digests = expired_digests(context->upload, context->check, &error);
        if (!error.empty()) {
            io.err << "velpic restore: " << terminal_text(error) << "\n";
            return 1;
        }
        if (digests.empty())
            io.err << "velpic restore: no record's link is " << to_utf8(link_status_text(LinkStatus::expired)) << "\n";
    }
    for (const std::string& digest : digests) {
        const RestoreOutcome outcome = restore_picture(context->upload, digest);
        if (outcome.ok()) {
            io.out << to_utf8(digest) << "\t" << terminal_text(outcome.address) << "\n" << std::flush;
        } else {
            io.err << to_utf8(digest) << ": " << terminal_text(restore_summary(outcome)) << "\n";
            status = 1;
        }
    }
    return status;
}

} // namespace

const Command restore_command{
    "restore",
    "restore [DIGEST...]",
    "commits each recorded picture again from its archive copy, under the same name, and prints\n"
    "         digest and address (unchanged). Without digests: every record whose link is 已失效 now. A\n"
    "         file already there with the same bytes needs nothing; other bytes there are a conflict.",
    run,
};

} // namespace velpic
