#include "tools/kivod/passwd.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "platform/security/users_file.h"
#include "platform/socket_server/authenticator.h"
#include "platform/wire/frame.h"

namespace Kivod {
namespace {

Common::Error Refused(const std::string& why) {
    return Common::Error(COMMON_PLACE("Kivod::ChangePassword"), kPasswordRefused,
                         "KIVO: " + why + "; no user was added or changed.");
}

// Turns a terminal's echo off while it lives.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        changed_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (changed_)
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    const int fd_;
    termios saved_{};
    bool changed_ = false;
};

// One line of standard input, at most one byte longer than a password may be; false at the end
// of the input before any byte or line feed.
bool ReadLine(std::string& line) {
    for (char c = 0;;) {
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        if (line.size() <= KivoWire::kMaxPasswordBytes)
            line.push_back(c);
    }
}

std::string ReadPassword(const std::string& user) {
    std::string password;
    bool read = false;
    if (::isatty(STDIN_FILENO) == 1) {
        const std::string prompt = "Password for " + user + ": ";
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, prompt.data(), prompt.size());
        EchoOff quiet(STDIN_FILENO);
        read = ReadLine(password);
        written = ::write(STDERR_FILENO, "\n", 1);
    } else {
        read = ReadLine(password);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (!read)
        throw Refused("No password came on standard input");
    if (password.empty())
        throw Refused("The password is empty");
    if (password.size() > KivoWire::kMaxPasswordBytes) {
        KivoServer::Wipe(password);
        throw Refused("The password is longer than " + std::to_string(KivoWire::kMaxPasswordBytes) +
                      " bytes");
    }
    return password;
}

}  // namespace

void ChangePassword(const PasswdCommand& command, std::ostream& out) {
    std::string password = ReadPassword(command.user);
    KivoSecurity::PasswordRecord record;
    const Common::Error failed =
        KivoSecurity::MakeRecord(command.user, password, KivoSecurity::kDefaultScrypt, record);
    KivoServer::Wipe(password);
    if (!failed.IsEmpty())
        throw failed;
    bool added = true;
    const Common::Error unchanged = KivoSecurity::UpdateUsersFile(
        command.usersFile, [&](std::vector<KivoSecurity::PasswordRecord>& records) {
            const auto found = std::find_if(records.begin(), records.end(), [&](const auto& held) {
                return held.user == command.user;
            });
            added = found == records.end();
            if (added)
                records.push_back(record);
            else
                *found = record;
            return Common::Error();
        });
    if (!unchanged.IsEmpty())
        throw unchanged;
    out << "kivod: user " << command.user << (added ? " added" : " changed") << std::endl;
}

}  // namespace Kivod
