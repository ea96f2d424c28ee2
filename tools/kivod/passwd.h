// kivod passwd: adds a user to a users file, or gives a user a new password.
//
// The password is one line of standard input (its line feed, and a carriage return before it,
// are not part of it), never an argument, so that it is not shown in the process list. When
// standard input is a terminal, a prompt goes to standard error and the terminal's echo is off
// while the line is typed. An empty password, one longer than a login carries
// (KivoWire::kMaxPasswordBytes), and no line at all are refused (kPasswordRefused).
//
// The record is made with the default scrypt parameters and a new salt; the file is changed
// under its lock and replaced atomically (platform/security/users_file.h), and made mode 0600
// when missing. A user name the file cannot hold is refused with the users file's error.
//
// Thread-safety: called once, from the main thread.
#pragma once

#include <cstdint>
#include <ostream>

#include "tools/kivod/kivod_options.h"

namespace Kivod {

/// A password that kivod passwd does not take (see the file comment).
inline constexpr uint32_t kPasswordRefused = 0xFC00AC;

/// Adds or changes the user of `command` with the password read from standard input, then
/// writes "kivod: user <user> added" or "... changed" to `out`. Throws Common::Error.
void ChangePassword(const PasswdCommand& command, std::ostream& out);

}  // namespace Kivod
