// The files a publish or relink works on: the files named, and the notes found below the folders named.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velpic {

enum class NoteKind { markdown, text }; // text: HTML or plain text, whose addresses are found in the running text

struct NoteFile {
    std::filesystem::path path;
    std::string name; // as shown in the output: the argument, or the folder argument joined with the relative path
    NoteKind kind = NoteKind::markdown;
    std::filesystem::path root; // the folder given (a file given alone: its folder), where an Obsidian vault ends
    bool maybe_link = true;     // false when the folder's listing already told it is no symbolic link
};

// Which files a folder contributes, and how a file is read.
enum class NoteSelection {
    markdown_only,     // *.md and *.markdown; a file named on its own is read as Markdown whatever its name
    markdown_and_text, // also *.html, *.htm and *.txt, read as text; a named file is read by its extension
};

// Folders are walked in name order without following links to other folders; hidden folders (".git",
// ".obsidian") are skipped. A path that does not exist, or cannot be walked, goes to problems.
std::vector<NoteFile> collect_note_files(const std::vector<std::string>& arguments, NoteSelection selection,
                                         std::vector<std::string>& problems);

// A UTF-8 text as a path, byte for byte.
std::filesystem::path utf8_path(std::string_view text);

} // namespace velpic
