// Which build of the program is running: what is remembered from a run (notes found settled) holds only for the
// build that found it, since another build may read notes otherwise.
#pragma once

#include <string>

namespace velpic {

// The linker's build ID of the running executable (a digest of its code), as raw bytes; empty when the
// executable carries none, and then nothing may be taken as known from an earlier run.
const std::string& program_build_id();

} // namespace velpic
