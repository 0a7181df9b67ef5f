#include "upload/repository_names.h"

#include <algorithm>

namespace velpic {

bool is_valid_repository_name(std::string_view name) {
    auto allowed = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    };
    return !name.empty() && std::all_of(name.begin(), name.end(), allowed) &&
           name.find_first_not_of('.') != std::string_view::npos;
}

} // namespace velpic
