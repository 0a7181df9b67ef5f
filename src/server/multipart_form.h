// The parts of a multipart/form-data body, as places in the one body buffer (nothing is copied).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct FormSlice {
    std::string name;
    std::string filename;
    bool has_filename = false;
    std::size_t offset = 0; // of the part's content in the body
    std::size_t size = 0;
};

struct MultipartForm {
    bool ok = false;
    std::vector<FormSlice> parts; // in body order
};

// The boundary named by a Content-Type of multipart/form-data; empty when it is not one.
std::string form_boundary(std::string_view content_type);

MultipartForm parse_multipart_form(std::string_view body, std::string_view boundary);

} // namespace velpic
