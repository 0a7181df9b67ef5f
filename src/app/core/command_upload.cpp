// `velpic upload [FILE...]`: each file, or without files the clipboard's picture, through the upload core.
#include "app/core/commands.h"

#include "app/core/command_options.h"
#include "app/core/settings_store.h"
#include "app/core/stored_settings.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "upload/clipboard_picture.h"
#include "upload/upload_item.h"

namespace velpic {

namespace {

// Callers match the lines of the output to their files by position, so a failed item keeps its line (empty: no
// address); why it failed goes to the error stream.
int report(const std::vector<ItemOutcome>& outcomes, CommandIo& io) {
    int failed = 0;
    for (const ItemOutcome& outcome : outcomes) {
        if (!outcome.ok) {
            ++failed;
            io.err << outcome.name << ": " << to_utf8(outcome.reason) << "\n";
        }
        for (const std::string& note : outcome.notes)
            io.err << outcome.name << ": " << to_utf8(note) << "\n";
        io.out << (outcome.ok ? to_utf8(outcome.address) : std::string()) << "\n" << std::flush;
    }
    return failed == 0 ? 0 : 1;
}

int run(const std::vector<std::string>& args, CommandIo& io) {
    CommandOptions options;
    std::vector<std::string> files;
    std::string why;
    if (!options.parse(args, files, why)) {
        io.err << "velpic upload: " << why << "\n\n";
        print_usage(io.err);
        return 2;
    }
    const StateSnapshot settings = stored_settings();
    if (!settings.gitee_known()) {
        io.err << "请先填写配置！ (" << settings_file_path().string() << ")\n";
        return 2;
    }
    const UploadContext context = upload_context(settings, program_dir());

    if (files.empty()) {
        std::shared_ptr<ClipboardSource> clipboard = io.desktop.clipboard(why);
        if (!clipboard) {
            io.err << "velpic upload: " << why << "; name the files to upload instead\n";
            return 2;
        }
        return report(upload_clipboard_picture(context, clipboard->read()), io);
    }
    int failed = 0;
    for (const std::string& file : files) {
        // Each line is out before the next file is read, for callers that show progress.
        failed += report({upload_file_item(context, std::filesystem::path(file))}, io);
    }
    return failed == 0 ? 0 : 1;
}

} // namespace

const Command upload_command{
    "upload",
    "upload [FILE...]",
    "commits each picture (.png, .jpg, .jpeg, .gif) into the configured repository with the\n"
    "         stored settings and record mode, and prints one line per file, in file order: its address,\n"
    "         or an empty line when it failed. A picture recorded before is not sent again. Without files\n"
    "         it uploads the clipboard: a bitmap as PNG, copied files as files. Failures go to standard\n"
    "         error; the exit status is 1 when any picture failed, 2 without a display for the clipboard.",
    run,
};

} // namespace velpic
