#include "support/keyring_session.h"

#include "support/child_process.h"
#include "support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <unistd.h>

namespace velpic::test {

namespace {

constexpr const char* kind_variable = "VELPIC_TEST_KEYRING";

const char* kind_name(KeyringKind kind) {
    return kind == KeyringKind::unlocked ? "unlocked" : "locked";
}

// Whether a session bus starts at all; why not when it does not.
bool dbus_starts(std::string& why) {
    if (on_path("dbus-run-session").empty()) {
        why = "dbus-run-session is not installed (Debian package dbus)";
        return false;
    }
    ChildProcess probe(on_path("dbus-run-session"), {"--", "true"});
    const std::optional<int> status = probe.wait_for_exit(std::chrono::seconds(20));
    if (status == 0)
        return true;
    why = "dbus-run-session -- true " + (status ? "ended with " + std::to_string(*status) : std::string("hung")) +
          ": " + probe.err();
    return false;
}

} // namespace

// ChildProcess runs a path, not a name.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        start = end + 1;
    }
    return {};
}

KeyringSession enter_keyring_session(KeyringKind kind, std::string& why) {
    if (const char* inside = std::getenv(kind_variable); inside != nullptr && *inside != '\0') {
        EXPECT_STREQ(inside, kind_name(kind));
        return KeyringSession::inside;
    }
    if (!dbus_starts(why))
        return KeyringSession::no_dbus;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    // The daemon keeps its keyrings under XDG_DATA_HOME and its sockets under XDG_RUNTIME_DIR: both private, so
    // no test meets the items of another or of the user.
    TempDir home;
    std::filesystem::create_directories(home.path() / "data");
    std::filesystem::create_directories(home.path() / "run");
    std::filesystem::permissions(home.path() / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    const std::string daemon = kind == KeyringKind::unlocked
                                   ? "echo velpic-test | gnome-keyring-daemon --unlock --components=secrets"
                                   : "gnome-keyring-daemon --daemonize --components=secrets </dev/null";
    const std::string script = daemon + " >/dev/null || exit 97; exec \"$0\" \"$@\"";
    ChildProcess child(on_path("dbus-run-session"),
                       {"--", "sh", "-c", script, std::filesystem::read_symlink("/proc/self/exe").string(),
                        "--gtest_filter=" + filter},
                       {std::string(kind_variable) + "=" + kind_name(kind),
                        "XDG_DATA_HOME=" + (home.path() / "data").string(),
                        "XDG_RUNTIME_DIR=" + (home.path() / "run").string(), "VELPIC_NO_KEYRING", "DISPLAY",
                        "WAYLAND_DISPLAY"});
    const std::optional<int> status = child.wait_for_exit(std::chrono::seconds(120));
    EXPECT_EQ(status, 0) << "the test inside the keyring's session:\n" << child.out() << child.err();
    // A filter that matched nothing would end with 0 too.
    EXPECT_NE(child.out().find("[  PASSED  ] 1 test."), std::string::npos) << child.out();
    return KeyringSession::ran;
}

} // namespace velpic::test
