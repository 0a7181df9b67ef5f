#include "server/multipart_form.h"

#include "runtime/percent_encoding.h"
#include "server/http_head.h"

namespace velpic {

namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The parameters of a header value ("form-data; name=\"a\"; filename=\"b.png\""), quoted or not.
struct Parameter {
    std::string name;
    std::string value;
};

std::vector<Parameter> parameters(std::string_view value) {
    std::vector<Parameter> out;
    std::size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        ++i;
        while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
            ++i;
        const auto equals = value.find('=', i);
        if (equals == std::string_view::npos)
            break;
        Parameter parameter;
        parameter.name = std::string(trim(value.substr(i, equals - i)));
        i = equals + 1;
        if (i < value.size() && value[i] == '"') {
            ++i;
            while (i < value.size() && value[i] != '"') {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                parameter.value += value[i++];
            }
            i = value.find(';', i);
        } else {
            const auto end = value.find(';', i);
            parameter.value = std::string(trim(value.substr(i, end == std::string_view::npos ? value.npos : end - i)));
            i = end;
        }
        out.push_back(std::move(parameter));
    }
    return out;
}

} // namespace

std::string form_boundary(std::string_view content_type) {
    const auto semicolon = content_type.find(';');
    if (!same_letters(trim(content_type.substr(0, semicolon)), "multipart/form-data"))
        return {};
    for (const Parameter& parameter : parameters(content_type)) {
        if (same_letters(parameter.name, "boundary") && !parameter.value.empty() && parameter.value.size() <= 200)
            return parameter.value;
    }
    return {};
}

MultipartForm parse_multipart_form(std::string_view body, std::string_view boundary) {
    MultipartForm form;
    const std::string delimiter = "--" + std::string(boundary);
    const std::string next = "\r\n" + delimiter;
    // The preamble may be empty, or end with the line break before the first delimiter.
    std::size_t at = body.rfind(delimiter, 0) == 0 ? 0 : body.find(next);
    if (at == std::string_view::npos)
        return form;
    at += at == 0 ? delimiter.size() : next.size();
    while (true) {
        if (body.substr(at, 2) == "--") {
            form.ok = true; // the closing delimiter; the epilogue is ignored
            return form;
        }
        // Transport padding, then the line break that ends the delimiter line.
        while (at < body.size() && (body[at] == ' ' || body[at] == '\t'))
            ++at;
        if (body.substr(at, 2) != "\r\n")
            return form;
        at += 2;
        const bool no_headers = body.substr(at, 2) == "\r\n";
        const auto blank = no_headers ? at : body.find("\r\n\r\n", at);
        if (blank == std::string_view::npos)
            return form;
        FormSlice part;
        std::string_view headers = body.substr(at, blank - at);
        while (!headers.empty()) {
            const auto end = headers.find("\r\n");
            const std::string_view line = headers.substr(0, end);
            headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 2);
            const auto colon = line.find(':');
            if (colon == std::string_view::npos || !same_letters(trim(line.substr(0, colon)), "Content-Disposition"))
                continue;
            for (const Parameter& parameter : parameters(line.substr(colon + 1))) {
                if (same_letters(parameter.name, "name")) {
                    part.name = parameter.value;
                } else if (same_letters(parameter.name, "filename")) {
                    part.filename = parameter.value;
                    part.has_filename = true;
                } else if (same_letters(parameter.name, "filename*")) {
                    // RFC 5987: charset'language'percent-encoded; only UTF-8 is taken, and it wins over filename.
                    const std::string& value = parameter.value;
                    const auto quote = value.find('\'');
                    const auto second = quote == std::string::npos ? quote : value.find('\'', quote + 1);
                    if (second != std::string::npos && same_letters(value.substr(0, quote), "UTF-8")) {
                        part.filename = percent_decode(std::string_view(value).substr(second + 1), false);
                        part.has_filename = true;
                    }
                }
            }
        }
        part.offset = blank + (no_headers ? 2 : 4);
        const auto end = body.find(next, part.offset);
        if (end == std::string_view::npos)
            return form;
        part.size = end - part.offset;
        form.parts.push_back(std::move(part));
        at = end + next.size();
    }
}

} // namespace velpic
