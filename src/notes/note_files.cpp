#include "notes/note_files.h"

#include <algorithm>
#include <system_error>

namespace velpic {

namespace {

std::string lower_extension(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

bool is_markdown_name(const std::string& extension) {
    return extension == ".md" || extension == ".markdown";
}

bool is_text_name(const std::string& extension) {
    return extension == ".html" || extension == ".htm" || extension == ".txt";
}

std::string utf8_string(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace

std::filesystem::path utf8_path(std::string_view text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::vector<NoteFile> collect_note_files(const std::vector<std::string>& arguments, NoteSelection selection,
                                         std::vector<std::string>& problems) {
    std::vector<NoteFile> files;
    for (const std::string& argument : arguments) {
        const std::filesystem::path root = utf8_path(argument);
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(root, error);
        if (error || !std::filesystem::exists(status)) {
            problems.push_back(argument + ": no such file or folder");
            continue;
        }
        if (!std::filesystem::is_directory(status)) {
            const std::string extension = lower_extension(root);
            const bool markdown = selection == NoteSelection::markdown_only || !is_text_name(extension);
            files.push_back({root, argument, markdown ? NoteKind::markdown : NoteKind::text, root.parent_path()});
            continue;
        }
        std::vector<NoteFile> found;
        std::filesystem::recursive_directory_iterator walk(
            root, std::filesystem::directory_options::skip_permission_denied, error);
        for (; !error && walk != std::filesystem::recursive_directory_iterator(); walk.increment(error)) {
            const std::filesystem::directory_entry& entry = *walk;
            const std::string leaf = entry.path().filename().string();
            std::error_code type_error;
            if (entry.is_directory(type_error)) {
                if (leaf.starts_with("."))
                    walk.disable_recursion_pending();
                continue;
            }
            if (!entry.is_regular_file(type_error))
                continue;
            const std::string extension = lower_extension(entry.path());
            NoteKind kind = NoteKind::markdown;
            if (is_markdown_name(extension))
                kind = NoteKind::markdown;
            else if (selection == NoteSelection::markdown_and_text && is_text_name(extension))
                kind = NoteKind::text;
            else
                continue;
            std::string name = argument;
            if (!name.ends_with('/'))
                name += '/';
            name += utf8_string(entry.path().lexically_relative(root));
            found.push_back({entry.path(), std::move(name), kind, root, entry.is_symlink(type_error)});
        }
        if (error)
            problems.push_back(argument + ": the folder could not be read to the end (" + error.message() + ")");
        std::sort(found.begin(), found.end(), [](const NoteFile& a, const NoteFile& b) { return a.name < b.name; });
        files.insert(files.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
    }
    return files;
}

} // namespace velpic
