// `velpic relink`: the addresses of a map rewritten in notes (Markdown through the parser, so code stays as it
// is; HTML and plain text by their web addresses).
#pragma once

#include "notes/relink_map.h"

#include <ostream>
#include <string>
#include <vector>

namespace velpic {

// Rewrites the notes of paths (files, and the *.md, *.markdown, *.html, *.htm and *.txt below folders) and
// prints the report and the summary line; a dry run writes nothing. 0 when nothing failed, 1 otherwise.
int relink_notes(const std::vector<std::string>& paths, const RelinkMap& map, bool dry_run, std::ostream& out,
                 std::ostream& err);

} // namespace velpic
