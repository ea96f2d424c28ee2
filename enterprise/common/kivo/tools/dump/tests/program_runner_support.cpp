#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace KivoDumpTest {

Outcome RunCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr) << command;
    Outcome outcome{{}, -1};
    if (pipe == nullptr)
        return outcome;
    char chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        outcome.output.append(chunk, read);
    const int raw = pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    if (!path_.empty())
        RunCommand("rm -rf '" + path_ + "'");
}

}  // namespace KivoDumpTest
