// Qt's own texts (the file dialog's title and buttons, "Yes"/"No") in Chinese, like the rest of the window.
#pragma once

namespace velpic {

// Loads qtbase_zh_CN from Qt's translations directory into the application; false when it is not installed
// (package qt6-translations-l10n), and the texts then stay English.
bool install_qt_translations();

} // namespace velpic
