// `velpic upload [--format F] [--compress] [FILE...]`: each file, or without files the clipboard's picture, through
// the upload core.
#include "cli/commands.h"

#include "cli/command_context.h"
#include "cli/command_options.h"
#include "desktop/picture_compression.h"
#include "runtime/codepage.h"
#include "runtime/program_dir.h"
#include "settings/link_text.h"
#include "settings/settings_store.h"
#include "settings/stored_settings.h"
#include "upload/clipboard_picture.h"
#include "upload/upload_item.h"

namespace velpic {

namespace {

std::filesystem::path utf8_path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Callers match the lines of the output to their files by position, so a failed item keeps its line (empty: no
// address); why it failed goes to the error stream. A bitmap has no file name: its link is named by its digest.
int report(const std::vector<ItemOutcome>& outcomes, LinkFormat format, bool bitmap, CommandIo& io) {
    int failed = 0;
    for (const ItemOutcome& outcome : outcomes) {
        if (!outcome.ok) {
            ++failed;
            io.err << outcome.name << ": " << to_utf8(outcome.reason) << "\n";
        }
        // A picture committed but not recorded is committed again next time: the caller must hear of it.
        if (outcome.ok && !outcome.notes.empty())
            ++failed;
        for (const std::string& note : outcome.notes)
            io.err << outcome.name << ": " << to_utf8(note) << "\n";
        std::string line;
        if (outcome.ok)
            line = link_text(format, to_utf8(outcome.address),
                             bitmap ? outcome.digest : link_name(utf8_path(outcome.name)));
        io.out << line << "\n" << std::flush;
    }
    return failed == 0 ? 0 : 1;
}

int run(const std::vector<std::string>& args, CommandIo& io) {
    // Editors read plain addresses, so the stored link format and compression do not apply here unless asked for.
    std::string format_name = "url";
    bool compress = false;
    CommandOptions options;
    options.value("--format", &format_name).flag("--compress", &compress);
    std::vector<std::string> files;
    std::string why;
    const std::optional<LinkFormat> format =
        options.parse(args, files, why) ? link_format_from_name(format_name) : std::nullopt;
    if (!format) {
        if (why.empty())
            why = "--format takes url, markdown or html, not \"" + format_name + "\"";
        io.err << "velpic upload: " << why << "\n";
        print_short_usage(io.err, &upload_command);
        return 2;
    }
    std::string problem;
    const StateSnapshot settings = stored_settings(&problem);
    if (!problem.empty()) {
        io.err << "velpic upload: " << to_utf8(problem) << "\n";
        return 2;
    }
    if (!settings.gitee_known()) {
        io.err << "请先填写配置！ (" << settings_file_path().string() << ")\n"
               << "velpic upload: save the repository and its token first: " << kGiteeSetupCommand << "\n";
        return 2;
    }
    UploadContext context = upload_context(settings, program_dir());
    context.wait_notice = wait_notice_to(io.err);
    context.branch_learned = branch_saver(context);
    if (compress)
        context.prepare_picture = compress_large_picture;

    if (files.empty()) {
        std::shared_ptr<ClipboardSource> clipboard = io.desktop.clipboard(why);
        if (!clipboard) {
            io.err << "velpic upload: " << why << "; name the files to upload instead\n";
            return 2;
        }
        const ClipboardPicture picture = clipboard->read();
        return report(upload_clipboard_picture(context, picture), *format, picture.files.empty(), io);
    }
    int failed = 0;
    for (const std::string& file : files) {
        // Each line is out before the next file is read, for callers that show progress.
        failed += report({upload_file_item(context, std::filesystem::path(file))}, *format, false, io);
    }
    return failed == 0 ? 0 : 1;
}

} // namespace

const Command upload_command{
    "upload",
    "upload [--format url|markdown|html] [--compress] [FILE...]",
    "commits each picture (.png, .jpg, .jpeg, .gif, .webp, in any letter case) into the configured\n"
    "         repository with the stored settings and record mode, and prints one line per file, in file\n"
    "         order: its address, or an empty line when it failed. A picture recorded before is not sent\n"
    "         again. Without files it uploads the clipboard: a bitmap as PNG, copied files as files.\n"
    "         --format prints each address as a Markdown image or an HTML img element named after the file\n"
    "         (a bitmap after its digest) instead; --compress re-encodes a PNG or JPEG over 1 MB smaller\n"
    "         first (PNG losslessly, JPEG at quality 85). Failures go to standard error; the exit status is\n"
    "         1 when any picture failed or could not be recorded (its address is still printed), 2 without\n"
    "         a display for the clipboard, with unreadable settings or without the settings owner, repo and\n"
    "         token.",
    run,
};

} // namespace velpic
