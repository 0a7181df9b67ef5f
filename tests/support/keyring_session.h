// A real Secret Service for a test: the test runs again as a child of dbus-run-session, beside a GNOME Keyring
// daemon of its own whose keyrings live in a scratch folder. Both end with the child.
//
//   TEST(Keyring, Something) {
//       VELPIC_IN_KEYRING_SESSION(test::KeyringKind::unlocked);
//       ... runs inside the session only
//   }
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace velpic::test {

enum class KeyringKind {
    unlocked, // its login collection open, as after a desktop login
    locked,   // started without a password: reads find nothing, writes are refused
};

enum class KeyringSession {
    inside,  // this process is the child: go on with the test
    ran,     // the child ran the test (its failures are this test's)
    no_dbus, // D-Bus cannot start here
};

// Called first in a test: inside the session, returns inside; outside, runs this test again inside one.
KeyringSession enter_keyring_session(KeyringKind kind, std::string& why);
// The program's path as a shell finds it by name, or empty.
std::string on_path(const std::string& name);

} // namespace velpic::test

#define VELPIC_IN_KEYRING_SESSION(kind)                                                                              \
    do {                                                                                                             \
        std::string keyring_why_;                                                                                    \
        const ::velpic::test::KeyringSession keyring_session_ = ::velpic::test::enter_keyring_session(kind, keyring_why_); \
        if (keyring_session_ == ::velpic::test::KeyringSession::no_dbus)                                             \
            GTEST_SKIP() << "D-Bus cannot start here, so no Secret Service either: " << keyring_why_;               \
        if (keyring_session_ == ::velpic::test::KeyringSession::ran)                                                 \
            return;                                                                                                  \
    } while (false)
