// Opening the display: Qt ends the process with abort(), a core dump, when it cannot. These turn that into one
// clear sentence on standard error and exit status 2.
#pragma once

#include <string>

namespace velpic {

// Whether the environment names a display at all (QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY); why not when not.
bool display_named(std::string& why);

// While one exists, a fatal Qt message (the display could not be opened) prints sentence and ends the process
// with status 2; Qt's other messages are held back meanwhile, and printed when the guard ends normally.
class DisplayStartGuard {
public:
    explicit DisplayStartGuard(std::string sentence);
    ~DisplayStartGuard();
    DisplayStartGuard(const DisplayStartGuard&) = delete;
    DisplayStartGuard& operator=(const DisplayStartGuard&) = delete;
};

} // namespace velpic
