// `velpic relink [--map FILE] [--dry-run] PATH...`: the addresses of a move's map rewritten in notes.
#include "cli/commands.h"

#include "cli/command_options.h"
#include "notes/note_files.h"
#include "notes/relink_map.h"
#include "notes/relink_notes.h"
#include "runtime/program_dir.h"

namespace velpic {

namespace {

int run(const std::vector<std::string>& args, CommandIo& io) {
    std::string map_name;
    bool dry_run = false;
    CommandOptions parser;
    parser.value("--map", &map_name).flag("--dry-run", &dry_run);
    std::vector<std::string> paths;
    std::string why;
    if (!parser.parse(args, paths, why) || paths.empty()) {
        io.err << "velpic relink: " << (why.empty() ? "name the files or folders to relink" : why) << "\n\n";
        print_usage(io.err);
        return 2;
    }
    const std::filesystem::path map_file = map_name.empty() ? move_map_path(program_dir()) : utf8_path(map_name);
    const std::u8string shown = map_file.u8string();
    const std::optional<RelinkMap> map = read_relink_map(map_file, why);
    if (!map) {
        io.err << "velpic relink: " << std::string(shown.begin(), shown.end()) << ": " << why << "\n";
        return 2;
    }
    return relink_notes(paths, *map, dry_run, io.out, io.err);
}

} // namespace

const Command relink_command{
    "relink",
    "relink [--map FILE] [--dry-run] PATH...",
    "rewrites the addresses of a map (\"old<TAB>new\" per line, UTF-8) in Markdown, HTML and plain\n"
    "         text files; folders are searched for *.md, *.markdown, *.html, *.htm and *.txt. Without\n"
    "         --map it takes the map of the last move (\"搬家映射.txt\" in the data directory). Markdown\n"
    "         code is never touched, nor any other byte; each file is replaced in one step. Prints\n"
    "         \"file:line: old → new\" per address and a summary; --dry-run writes nothing. Exit status\n"
    "         1 when any file failed, 2 when the map cannot be read.",
    run,
};

} // namespace velpic
