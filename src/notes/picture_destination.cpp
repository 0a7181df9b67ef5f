#include "notes/picture_destination.h"

#include "notes/destination_text.h"
#include "notes/note_files.h"
#include "runtime/files.h"
#include "runtime/percent_encoding.h"

#include <optional>
#include <vector>

namespace velpic {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The scheme of an absolute address ("https", "data", "file"), lower-cased; empty for a path. A single letter is
// no scheme: "c:" would be a drive.
std::string scheme_of(std::string_view target) {
    std::size_t i = 0;
    while (i < target.size() && ((target[i] >= 'a' && target[i] <= 'z') || (target[i] >= 'A' && target[i] <= 'Z') ||
                                 (i > 0 && ((target[i] >= '0' && target[i] <= '9') || target[i] == '+' ||
                                            target[i] == '-' || target[i] == '.'))))
        ++i;
    if (i < 2 || i >= target.size() || target[i] != ':')
        return {};
    std::string scheme(target.substr(0, i));
    for (char& c : scheme)
        c = lower(c);
    return scheme;
}

std::string without_query(std::string_view text) {
    const std::size_t cut = text.find_first_of("?#");
    return std::string(cut == std::string_view::npos ? text : text.substr(0, cut));
}

} // namespace

PictureDestination::Kind destination_kind_by_text(std::string_view target) {
    if (target.empty() || target.front() == '#' || target.starts_with("//"))
        return PictureDestination::Kind::other;
    // Asked for every reference of every note: the scheme is told without making a string of it.
    const auto is = [&](std::string_view scheme) {
        if (target.size() <= scheme.size() || target[scheme.size()] != ':')
            return false;
        for (std::size_t i = 0; i < scheme.size(); ++i)
            if (lower(target[i]) != scheme[i])
                return false;
        return true;
    };
    if (is("http") || is("https"))
        return PictureDestination::Kind::web;
    if (is("file"))
        return PictureDestination::Kind::local_file;
    return scheme_of(target).empty() ? PictureDestination::Kind::local_file : PictureDestination::Kind::other;
}

PictureDestination classify_destination(std::string_view target, const std::filesystem::path& note_folder) {
    PictureDestination destination;
    destination.kind = destination_kind_by_text(target);
    if (destination.kind != PictureDestination::Kind::local_file)
        return destination;
    const std::string scheme = scheme_of(target);
    std::vector<std::string> readings;
    if (scheme == "file") {
        // file:///path, file://localhost/path or file:/path; always percent-encoded.
        std::string_view rest = target.substr(5);
        if (rest.starts_with("//")) {
            rest.remove_prefix(2);
            const std::size_t slash = rest.find('/');
            const std::string_view host = slash == std::string_view::npos ? rest : rest.substr(0, slash);
            if (!host.empty() && host != "localhost")
                return destination; // a file of another machine
            rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        }
        if (!rest.starts_with("/"))
            return destination;
        readings.push_back(percent_decode(without_query(rest)));
    } else {
        readings.push_back(std::string(target));
        readings.push_back(percent_decode(target));
        readings.push_back(percent_decode(without_query(target)));
        // Windows users write "images\\a.png" or ".\\images\\a.png"; on this side a backslash is a name's byte.
        if (target.find('\\') != std::string_view::npos) {
            for (std::size_t i = 0; i < 3; ++i) {
                std::string slashed = readings[i];
                for (char& c : slashed)
                    if (c == '\\')
                        c = '/';
                readings.push_back(std::move(slashed));
            }
        }
    }
    destination.kind = PictureDestination::Kind::local_file;
    for (std::size_t r = 0; r < readings.size(); ++r) {
        const std::string& reading = readings[r];
        if (reading.empty())
            continue;
        const std::filesystem::path path = utf8_path(reading);
        const std::filesystem::path file = path.is_absolute() ? path : note_folder / path;
        if (file_exists(file)) {
            destination.file = file;
            destination.exists = true;
            // Found without its "?width=600#center": themes read that part, so it goes after the new address.
            if (scheme != "file" && r % 3 == 2 && r > 0) {
                const std::size_t cut = target.find_first_of("?#");
                if (cut != std::string_view::npos)
                    destination.kept_suffix = std::string(target.substr(cut));
            }
            break;
        }
        if (destination.file.empty())
            destination.file = file;
    }
    // The decoded reading is the one to name when no reading exists.
    if (!destination.exists && readings.size() > 1 && !readings[1].empty()) {
        const std::filesystem::path path = utf8_path(readings[1]);
        destination.file = path.is_absolute() ? path : note_folder / path;
    }
    if (destination.file.empty())
        destination.kind = PictureDestination::Kind::other;
    return destination;
}

} // namespace velpic
