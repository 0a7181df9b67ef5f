// Multipart forms of the editor server: the boundary comes from a Content-Type and the body from the client. Every
// part found is a place inside the body, in order, framed by the delimiter lines, holding no delimiter itself; and
// a form written here from the input's texts is read back part for part.
#include "fuzz_support.h"
#include "server/multipart_form.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

void check_places(std::string_view body, std::string_view boundary, const MultipartForm& form) {
    const std::string next = "\r\n--" + std::string(boundary);
    std::size_t after = 0;
    for (const FormSlice& part : form.parts) {
        FUZZ_CHECK(part.offset >= after && part.offset <= body.size() && part.size <= body.size() - part.offset);
        const std::string_view content = body.substr(part.offset, part.size);
        FUZZ_CHECK(content.find(next) == std::string_view::npos);
        FUZZ_CHECK(body.substr(part.offset + part.size).starts_with(next));
        FUZZ_CHECK(body.substr(0, part.offset).ends_with("\r\n"));
        FUZZ_CHECK(part.has_filename || part.filename.empty());
        after = part.offset + part.size + next.size();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 16384)
        return 0;
    FuzzInput input(data, size);
    const std::string boundary = form_boundary(input.field(0));
    FUZZ_CHECK(boundary.size() <= 200);

    // The client's body against the client's boundary (or a fixed one when the Content-Type names none).
    const std::string used = boundary.empty() ? std::string("b0undary") : boundary;
    const std::string_view body = input.field(1);
    const MultipartForm form = parse_multipart_form(body, used);
    check_places(body, used, form);

    // A well-formed form of the remaining texts as files, its boundary one that none of them holds.
    std::string own = "velpic-" + std::to_string(size);
    std::vector<std::string_view> contents;
    for (std::size_t i = 2; i < 10 && !input.field(i).empty(); ++i)
        contents.push_back(input.field(i));
    for (bool clash = true; clash;) {
        clash = false;
        for (std::string_view content : contents)
            clash = clash || content.find(own) != std::string_view::npos;
        if (clash)
            own += 'x';
    }
    std::string written = input.flag(0) ? "preamble\r\n" : "";
    for (std::size_t i = 0; i < contents.size(); ++i) {
        written += "--" + own + (input.flag(1) ? " \t\r\n" : "\r\n");
        written += "Content-Disposition: form-data; name=\"list\"; filename=\"p" + std::to_string(i) + ".png\"\r\n";
        written += "Content-Type: image/png\r\n\r\n";
        written.append(contents[i]);
        written += "\r\n";
    }
    written += "--" + own + "--\r\n";
    const MultipartForm read = parse_multipart_form(written, own);
    check_places(written, own, read);
    FUZZ_CHECK(read.ok);
    FUZZ_CHECK(read.parts.size() == contents.size());
    for (std::size_t i = 0; i < read.parts.size() && i < contents.size(); ++i) {
        FUZZ_CHECK(std::string_view(written).substr(read.parts[i].offset, read.parts[i].size) == contents[i]);
        FUZZ_CHECK(read.parts[i].name == "list");
        FUZZ_CHECK(read.parts[i].has_filename && read.parts[i].filename == "p" + std::to_string(i) + ".png");
    }
    return 0;
}
