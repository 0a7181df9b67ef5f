// Owner and repository names go into API paths and raw-file addresses as they are, so only names that cannot
// change the shape of a path are accepted.
#pragma once

#include <string_view>

namespace velpic {

// ASCII letters, digits, "-", "_" and "." only, not empty, and not made of dots alone (a path would read "." or
// ".." as this or the parent directory).
bool is_valid_repository_name(std::string_view name);

} // namespace velpic
