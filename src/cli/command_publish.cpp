// `velpic publish [--dry-run] [--remote] [--encoding gbk] PATH...`: the pictures of Markdown notes uploaded and their references
// rewritten to the repository's addresses.
#include "cli/commands.h"

#include "cli/command_options.h"
#include "notes/publish_notes.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "settings/stored_settings.h"

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    PublishOptions options;
    CommandOptions parser;
    std::string encoding;
    parser.flag("--dry-run", &options.dry_run).flag("--remote", &options.remote).value("--encoding", &encoding);
    std::vector<std::string> paths;
    std::string why;
    const bool parsed = parser.parse(args, paths, why);
    if (parsed && !encoding.empty() && encoding != "gbk" && encoding != "utf-8")
        why = "--encoding takes gbk or utf-8";
    options.gbk = encoding == "gbk";
    if (!parsed || !why.empty() || paths.empty()) {
        io.err << "velpic publish: " << (why.empty() ? "name the notes or folders to publish" : why) << "\n\n";
        print_usage(io.err);
        return 2;
    }
    const StateSnapshot settings = stored_settings();
    if (!settings.gitee_known()) {
        io.err << "请先填写配置！ (" << settings_file_path().string() << ")\n";
        return 2;
    }
    return publish_notes(paths, options, upload_context(settings, program_dir()), io.out, io.err);
}

} // namespace

const Command publish_command{
    "publish",
    "publish [--dry-run] [--remote] [--encoding gbk] PATH...",
    "uploads the pictures that Markdown notes show from this machine (a path relative to the note or\n"
    "         absolute, a file: address, percent-encoded or not) and rewrites each reference to the\n"
    "         picture's address; folders are searched for *.md and *.markdown. Inline images, reference\n"
    "         definitions and <img src> count; code is never touched, nor any other byte of a note, which\n"
    "         is replaced in one step. --remote re-hosts pictures of other web hosts as well. Prints\n"
    "         \"file:line: old → new\" per reference and a summary; --dry-run writes and uploads nothing.\n"
    "         A note that is not UTF-8 is named and left as it is, unless --encoding gbk reads and writes\n"
    "         the notes as GBK.\n"
    "         Exit status 1 when any reference or note failed (named on standard error).",
    run,
};

} // namespace velpic
