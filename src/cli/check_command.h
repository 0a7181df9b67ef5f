// `velpic check [--deep] [--referer URL] [--jobs N] [--max-age H]`: the records page's link check for scripts and
// scheduled jobs.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace velpic {

// args: what follows "check". Checks every record of the configured store and prints one line per record, in
// store order: status, digest and address, tab-separated, UTF-8. Progress goes to err when it is the terminal's
// standard error. 0: every link valid; 1: any is not; 2: misuse or settings that cannot be used.
int run_check_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace velpic
