#include "core/common/assert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/assert_policy.h"
#include "core/common/text.h"
#include "core/common/trace.h"

namespace {

using Common::AssertionPolicy;
using Common::ParseAssertionPolicy;
using testing::HasSubstr;
using testing::StartsWith;

void ExpectPolicy(const char* value, uint32_t flags, bool openLog) {
    const AssertionPolicy policy = ParseAssertionPolicy(value);
    EXPECT_EQ(policy.flags, flags) << (value != nullptr ? value : "(absent)");
    EXPECT_EQ(policy.openLog, openLog) << (value != nullptr ? value : "(absent)");
}

TEST(AssertionPolicy, AbsentOrEmptyKeepsTheDefault) {
    ExpectPolicy(nullptr, 0x4E, false);
    ExpectPolicy("", 0x4E, false);
}

TEST(AssertionPolicy, HexadecimalNumbers) {
    ExpectPolicy("0x12", 0x12, false);
    ExpectPolicy("0X12", 0x12, false);
    ExpectPolicy("12", 0x12, false);
    ExpectPolicy("4", 0x04, true);
    ExpectPolicy("0x7f", 0x7F, true);
    ExpectPolicy("FFFFFFFF", 0xFFFFFFFF, true);
    ExpectPolicy("0x0000004e", 0x4E, true);
    // Zero, an empty number, more than 32 bits and stray characters are read as words, none of
    // which is a keyword: everything is ignored.
    ExpectPolicy("0", 0xFFFFFFFF, false);
    ExpectPolicy("0x0", 0xFFFFFFFF, false);
    ExpectPolicy("0x", 0xFFFFFFFF, false);
    ExpectPolicy("100000000", 0xFFFFFFFF, false);
    ExpectPolicy("0x12 ", 0xFFFFFFFF, false);
    ExpectPolicy("-1", 0xFFFFFFFF, false);
    ExpectPolicy("0x0x12", 0xFFFFFFFF, false);
}

TEST(AssertionPolicy, Words) {
    ExpectPolicy("debug stack", 0x42, false);
    ExpectPolicy("  debug\tstack  ", 0x42, false);
    ExpectPolicy("break debug log event msgbox abort stack", 0x7F, true);
    ExpectPolicy("log", 0x04, true);
    ExpectPolicy("abort abort", 0x20, false);
    // Blanks alone give no flag at all: assertions then do nothing but return.
    ExpectPolicy("   ", 0, false);
}

TEST(AssertionPolicy, AnUnknownWordIgnoresAssertions) {
    ExpectPolicy("debug quiet", 0xFFFFFFFF, false);
    ExpectPolicy("Debug", 0xFFFFFFFF, false);
    ExpectPolicy("debug,stack", 0xFFFFFFFF, false);
    // "log" still asks for the log target, even though the flags ignore everything.
    ExpectPolicy("log junk", 0xFFFFFFFF, true);
}

TEST(AssertionPolicy, OnlyTheFirst127CharactersAreRead) {
    const std::string padding(122, ' ');
    ExpectPolicy((padding + "debug").c_str(), 0x02, false);  // 127 characters
    // One more character cuts the word to "debu", which is no keyword.
    ExpectPolicy((padding + " debug").c_str(), 0xFFFFFFFF, false);
    ExpectPolicy((padding + "stack junk").c_str(), 0x40, false);
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "assert_XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::filesystem::path operator/(const char* name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(AssertionLogTarget, StandardStreamsFilesAndFailures) {
    using Common::SelectAssertionLogTarget;
    EXPECT_EQ(SelectAssertionLogTarget(nullptr, stderr), stderr);
    EXPECT_EQ(SelectAssertionLogTarget("stdout", stderr), stdout);
    EXPECT_EQ(SelectAssertionLogTarget("stderr", stdout), stderr);

    TempDir dir;
    const std::filesystem::path log = dir / "assert.log";
    std::ofstream(log) << "earlier\n";
    FILE* file = SelectAssertionLogTarget(log.c_str(), stderr);
    ASSERT_NE(file, stderr);
    std::fputs("appended\n", file);
    std::fclose(file);
    EXPECT_EQ(ReadFile(log), "earlier\nappended\n");

    // A file that cannot be opened keeps the target there was.
    const std::filesystem::path missing = dir / "no-such-dir/assert.log";
    EXPECT_EQ(SelectAssertionLogTarget(missing.c_str(), stdout), stdout);
    EXPECT_EQ(SelectAssertionLogTarget("", stderr), stderr);
}

// Collects what reaches the trace, whatever its level.
class RecordingTracer : public Common::Tracer {
  public:
    void OnText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                std::u16string_view text) noexcept override {
        std::lock_guard<std::mutex> hold(lock);
        texts.push_back({channel, level, id1, id2, Common::ToUtf8(text)});
    }
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}

    struct Text {
        uint32_t channel, level, id1, id2;
        std::string text;
    };
    std::mutex lock;
    std::vector<Text> texts;
};

class AssertionReport : public testing::Test {
  protected:
    AssertionReport() : tracer_(std::make_shared<RecordingTracer>()) {
        previous_ = Common::SetTracer(tracer_);
        log_ = std::tmpfile();
    }
    ~AssertionReport() override {
        Common::SetTracer(previous_);
        std::fclose(log_);
    }

    std::string Log() {
        std::fflush(log_);
        std::rewind(log_);
        std::string text;
        char chunk[512];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof(chunk), log_)) > 0) {
            text.append(chunk, got);
        }
        return text;
    }

    std::shared_ptr<RecordingTracer> tracer_;
    std::shared_ptr<Common::Tracer> previous_;
    FILE* log_ = nullptr;
};

}  // namespace

// Exported, so that the stack walk names these functions.
namespace AssertTest {

// Stands in for Common::AssertionFailed, whose frame the report skips with its own.
__attribute__((noinline)) void Handler(uint32_t flags, FILE* log) {
    Common::ReportAssertion(flags, log, "count > 0", "core/common/x.cpp", 42);
    asm volatile("" ::: "memory");
}

// Not inlined, so that the stack of the report names it first.
__attribute__((noinline)) void FailInAKnownPlace(uint32_t flags, FILE* log) {
    Handler(flags, log);
    asm volatile("" ::: "memory");
}

}  // namespace AssertTest

namespace {

using AssertTest::FailInAKnownPlace;

TEST_F(AssertionReport, DefaultFlagsLogTraceWithStackAndReturn) {
    FailInAKnownPlace(Common::kAssertDefaultFlags, log_);
    const std::string log = Log();
    EXPECT_THAT(log, StartsWith("Assertion failed: count > 0, file core/common/x.cpp, line 42\n"));
    EXPECT_THAT(log, HasSubstr("FailInAKnownPlace"));
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 1 + 32);

    ASSERT_EQ(tracer_->texts.size(), 2u);
    const RecordingTracer::Text& text = tracer_->texts[0];
    EXPECT_EQ(text.channel, 0u);
    EXPECT_EQ(text.level, 5u);
    EXPECT_EQ(text.id1, 0u);
    EXPECT_EQ(text.id2, 27u);
    EXPECT_EQ(text.text, "Assertion failed: count > 0, file core/common/x.cpp, line 42");
    // The stack goes to the trace as one text whose first frame is the failing function.
    EXPECT_THAT(tracer_->texts[1].text, StartsWith("0x"));
    EXPECT_THAT(tracer_->texts[1].text.substr(0, tracer_->texts[1].text.find('\n')),
                HasSubstr("FailInAKnownPlace"));
    EXPECT_EQ(log.substr(log.find('\n') + 1), tracer_->texts[1].text + "\n");
}

TEST_F(AssertionReport, EachFlagChoosesItsOwnOutput) {
    Common::ReportAssertion(Common::kAssertLog, log_, "a", "f.cpp", 1);
    EXPECT_EQ(Log(), "Assertion failed: a, file f.cpp, line 1\n");
    EXPECT_TRUE(tracer_->texts.empty());

    Common::ReportAssertion(Common::kAssertEvent, log_, "b", "f.cpp", 2);
    ASSERT_EQ(tracer_->texts.size(), 1u);
    EXPECT_EQ(tracer_->texts[0].text, "Assertion failed: b, file f.cpp, line 2");

    // Stack alone reports nothing: it adds to outputs that are asked for.
    Common::ReportAssertion(Common::kAssertStack, log_, "c", "f.cpp", 3);
    Common::ReportAssertion(0, log_, "d", "f.cpp", 4);
    Common::ReportAssertion(Common::kAssertIgnoreAll, log_, "e", "f.cpp", 5);
    EXPECT_EQ(Log(), "Assertion failed: a, file f.cpp, line 1\n");
    EXPECT_EQ(tracer_->texts.size(), 1u);
}

TEST_F(AssertionReport, TheMessageBoxAnswersIgnoreEvenWithAbort) {
    Common::ReportAssertion(Common::kAssertMessageBox | Common::kAssertAbort | Common::kAssertLog,
                            log_, "x", "f.cpp", 9);
    EXPECT_EQ(Log(), "Assertion failed: x, file f.cpp, line 9\n");
}

TEST_F(AssertionReport, TheTextIsCutAtItsLimit) {
    const std::string expression(2000, 'e');
    Common::ReportAssertion(Common::kAssertLog | Common::kAssertEvent, log_, expression.c_str(),
                            "f.cpp", 1);
    EXPECT_EQ(Log(), "Assertion failed: " + expression.substr(0, 539 - 18) + "\n");
    ASSERT_EQ(tracer_->texts.size(), 1u);
    EXPECT_EQ(tracer_->texts[0].text.size(), 539u);
}

TEST(AssertionDeathTest, AbortTerminatesUnlessADebuggerIsAsked) {
    EXPECT_DEATH(Common::ReportAssertion(Common::kAssertAbort, stderr, "x", "f.cpp", 1), "");
    // With break and no debugger attached, abort still terminates.
    EXPECT_DEATH(
        Common::ReportAssertion(Common::kAssertBreak | Common::kAssertAbort, stderr, "x", "f", 1),
        "");
    ASSERT_FALSE(Common::DebuggerAttached());
    Common::ReportAssertion(Common::kAssertBreak, stderr, "x", "f.cpp", 1);
}

// The policy is read from the environment once, on the first failed assertion of the process;
// each of these runs in a fresh process.
TEST(AssertionDeathTest, ThePolicyComesFromTheEnvironmentOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            setenv("BRINTAL_SAFE_ASSERT", "abort", 1);
            COMMON_ASSERT(1 + 1 == 3);
        },
        "");
    EXPECT_EXIT(
        {
            setenv("BRINTAL_SAFE_ASSERT", "log", 1);
            unsetenv("BRINTAL_SAFE_ASSERT_LOGFILE");
            COMMON_ASSERT_TEXT(false, "first");
            setenv("BRINTAL_SAFE_ASSERT", "abort", 1);
            COMMON_ASSERT_TEXT(false, "second");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "Assertion failed: first, file .*\nAssertion failed: second");
}

TEST(AssertionDeathTest, TheLogFileOfThePolicyIsAppendedTo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test again from its start: it takes the parent's file name from the
    // environment instead of making one of its own.
    const char* inherited = std::getenv("ASSERT_TEST_LOGFILE");
    const std::string log = inherited != nullptr
                                ? std::string(inherited)
                                : (std::filesystem::temp_directory_path() /
                                   ("assert_test_" + std::to_string(getpid()) + ".log"))
                                      .string();
    setenv("ASSERT_TEST_LOGFILE", log.c_str(), 1);
    std::ofstream(log) << "earlier\n";
    EXPECT_EXIT(
        {
            setenv("BRINTAL_SAFE_ASSERT", "0x4", 1);
            setenv("BRINTAL_SAFE_ASSERT_LOGFILE", log.c_str(), 1);
            COMMON_ASSERT_TEXT(false, "to the file");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_THAT(ReadFile(log), StartsWith("earlier\nAssertion failed: to the file, file "));
    std::filesystem::remove(log);
    unsetenv("ASSERT_TEST_LOGFILE");
}

}  // namespace
