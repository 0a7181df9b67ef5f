// The settings as the command line finds them in the file at the moment it asks.
#pragma once

#include "settings/app_state.h"

namespace velpic {

// Read as the window reads them at its start (the machine code computed in MySQL mode).
StateSnapshot stored_settings();

} // namespace velpic
