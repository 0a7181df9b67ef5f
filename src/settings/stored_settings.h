// The settings as the command line finds them in the file at the moment it asks.
#pragma once

#include "settings/app_state.h"

#include <string>

namespace velpic {

// Read as the window reads them at its start (the machine code computed in MySQL mode). When the file cannot be
// read as it stands (SettingsStore::reading_problem), nothing is loaded and problem (when given) receives why (GBK).
StateSnapshot stored_settings(std::string* problem = nullptr);

} // namespace velpic
