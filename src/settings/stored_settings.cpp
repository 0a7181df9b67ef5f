#include "settings/stored_settings.h"

#include "settings/settings_store.h"

namespace velpic {

StateSnapshot stored_settings() {
    AppState state;
    SettingsStore(settings_file_path()).load_at_start(state);
    return state.snapshot();
}

} // namespace velpic
