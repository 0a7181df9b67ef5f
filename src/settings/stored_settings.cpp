#include "settings/stored_settings.h"

#include "settings/settings_store.h"

namespace velpic {

StateSnapshot stored_settings(std::string* problem) {
    AppState state;
    SettingsStore(settings_file_path()).load_at_start(state, problem);
    return state.snapshot();
}

} // namespace velpic
