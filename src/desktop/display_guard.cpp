#include "desktop/display_guard.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace velpic {

namespace {

struct GuardState {
    std::mutex mutex;
    std::string sentence;
    std::vector<QString> held;
    QtMessageHandler previous = nullptr;
};

GuardState& guard_state() {
    static GuardState state;
    return state;
}

void guarded_handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    GuardState& state = guard_state();
    std::lock_guard lock(state.mutex);
    if (type == QtFatalMsg) {
        std::fputs(state.sentence.c_str(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        std::_Exit(2);
    }
    state.held.push_back(qFormatLogMessage(type, context, message));
}

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

} // namespace

bool display_named(std::string& why) {
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY"))
        return true;
    why = "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return false;
}

DisplayStartGuard::DisplayStartGuard(std::string sentence) {
    GuardState& state = guard_state();
    {
        std::lock_guard lock(state.mutex);
        state.sentence = std::move(sentence);
        state.held.clear();
    }
    state.previous = qInstallMessageHandler(guarded_handler);
}

DisplayStartGuard::~DisplayStartGuard() {
    GuardState& state = guard_state();
    qInstallMessageHandler(state.previous);
    std::vector<QString> held;
    {
        std::lock_guard lock(state.mutex);
        held.swap(state.held);
    }
    for (const QString& line : held)
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

} // namespace velpic
