// `velpic delete [--keep-archive] DIGEST|ADDRESS...`: takes pictures down at the service, then their records and
// archive copies.
#include "cli/commands.h"

#include "cli/command_context.h"
#include "cli/command_options.h"
#include "runtime/codepage.h"
#include "upload/picture_delete.h"

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    bool keep_archive = false;
    CommandOptions options;
    options.flag("--keep-archive", &keep_archive);
    std::vector<std::string> targets;
    std::string why;
    if (!options.parse(args, targets, why) || targets.empty()) {
        io.err << "velpic delete: " << (why.empty() ? "name the pictures to delete" : why) << "\n\n";
        print_usage(io.err);
        return 2;
    }
    int status = 0;
    const std::optional<PictureCommandContext> context = picture_command_context("delete", io, status);
    if (!context)
        return status;
    for (const std::string& target : targets) {
        // Addresses are UTF-8 on the command line and GBK in the records.
        const DeleteOutcome outcome = delete_picture(context->upload, utf8_to_gbk(target), keep_archive);
        const std::string line = target + ": " + terminal_text(delete_summary(outcome)) + "\n";
        if (outcome.ok) {
            io.out << line << std::flush;
        } else {
            io.err << line;
            status = 1;
        }
    }
    return status;
}

} // namespace

const Command delete_command{
    "delete",
    "delete [--keep-archive] DIGEST|ADDRESS...",
    "takes each picture down: its file at the service, then its record, then its archive copy\n"
    "         (--keep-archive keeps the copy). Running it again finishes a delete that was cut off; a\n"
    "         picture with nothing left to delete is not a failure. The repository's history keeps the file.",
    run,
};

} // namespace velpic
