#include "core/common/assert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/assert_policy.h"
#include "core/common/stack_walk.h"
#include "core/common/standard_error_trace.h"
#include "core/common/text.h"
#include "core/common/trace.h"

namespace {

using testing::HasSubstr;
using testing::StartsWith;

void ExpectPolicy(std::initializer_list<const char*> values, uint32_t flags, bool openLog) {
    for (const char* value : values) {
        const Common::AssertionPolicy policy = Common::ParseAssertionPolicy(value);
        EXPECT_EQ(policy.flags, flags) << (value != nullptr ? value : "(absent)");
        EXPECT_EQ(policy.openLog, openLog) << (value != nullptr ? value : "(absent)");
    }
}

TEST(AssertionPolicy, NumbersWordsTheirLimitsAndTheLogTarget) {
    constexpr uint32_t kIgnore = Common::kAssertIgnoreAll;
    ExpectPolicy({nullptr, ""}, Common::kAssertDefaultFlags, false);
    // Hexadecimal numbers of one to eight digits other than zero; the log flag opens the log.
    ExpectPolicy({"0x12", "0X12", "12"}, 0x12, false);
    ExpectPolicy({"4"}, 0x04, true);
    ExpectPolicy({"FFFFFFFF"}, 0xFFFFFFFF, true);
    // Anything else is words; an unknown word ignores all assertions ("log" still opens the log).
    ExpectPolicy({"0", "0x0", "0x", "100000000", "0x12 ", "-1", "0x0x12", "debug quiet", "Debug",
                  "debug,stack"},
                 kIgnore, false);
    ExpectPolicy({"log junk"}, kIgnore, true);
    ExpectPolicy({"debug stack", "  debug\tstack  "}, 0x42, false);
    ExpectPolicy({"break debug log event msgbox abort stack"}, 0x7F, true);
    ExpectPolicy({"log"}, 0x04, true);
    ExpectPolicy({"abort abort"}, 0x20, false);
    ExpectPolicy({"   "}, 0, false);  // no flag at all: assertions only return
    // Only the first 127 characters are read: one more cuts "debug" to "debu".
    const std::string padding(122, ' ');
    ExpectPolicy({(padding + "debug").c_str()}, 0x02, false);
    ExpectPolicy({(padding + " debug").c_str()}, kIgnore, false);
    ExpectPolicy({(padding + "stack junk").c_str()}, 0x40, false);
    // The log goes to a standard stream by name, or to a file unless it cannot be opened.
    using Common::SelectAssertionLogTarget;
    EXPECT_EQ(SelectAssertionLogTarget(nullptr, stderr), stderr);
    EXPECT_EQ(SelectAssertionLogTarget("stdout", stderr), stdout);
    EXPECT_EQ(SelectAssertionLogTarget("stderr", stdout), stderr);
    EXPECT_EQ(SelectAssertionLogTarget("/nonexistent-kivo-dir/assert.log", stdout), stdout);
    EXPECT_EQ(SelectAssertionLogTarget("", stderr), stderr);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "channel level id1 id2 text", as the recording sinks and tracers keep a traced text.
std::string TextLine(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                     std::u16string_view text) {
    return std::to_string(channel) + " " + std::to_string(level) + " " + std::to_string(id1) + " " +
           std::to_string(id2) + " " + Common::ToUtf8(text);
}

// Keeps the texts that reach the trace, whatever their level, and counts the errors.
class RecordingTracer : public Common::Tracer {
  public:
    void OnText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                std::u16string_view text) noexcept override {
        texts.push_back(TextLine(channel, level, id1, id2, text));
    }
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override { ++errors; }

    std::vector<std::string> texts;
    int errors = 0;
};

// What reached the sinks: "text channel level id1 id2 text" or "error channel level code".
std::vector<std::string> calls;

void RecordText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                std::u16string_view text) noexcept {
    calls.push_back("text " + TextLine(channel, level, id1, id2, text));
}

void RecordError(uint32_t channel, uint32_t level, const Common::Error& error) noexcept {
    calls.push_back("error " + std::to_string(channel) + " " + std::to_string(level) + " " +
                    std::to_string(error.Code()));
}

// Reports and traces go to a log in memory, a recording tracer and the recording sinks.
class Reporting : public testing::Test {
  protected:
    Reporting() {
        calls.clear();
        previousTracer_ = Common::SetTracer(tracer_);
        previousText_ = Common::SetTraceTextSink(&RecordText);
        previousError_ = Common::SetTraceErrorSink(&RecordError);
        log_ = open_memstream(&logText_, &logSize_);
    }
    ~Reporting() override {
        Common::SetTracer(previousTracer_);
        Common::SetTraceTextSink(previousText_);
        Common::SetTraceErrorSink(previousError_);
        Common::SetTraceLevel(level_);
        Common::SetTraceSuppressed(suppressed_);
        std::fclose(log_);
        std::free(logText_);
    }

    std::string Log() {
        std::fflush(log_);
        return std::string(logText_, logSize_);
    }

    const std::shared_ptr<RecordingTracer> tracer_ = std::make_shared<RecordingTracer>();
    std::shared_ptr<Common::Tracer> previousTracer_;
    Common::TraceTextSink previousText_;
    Common::TraceErrorSink previousError_;
    const uint32_t level_ = Common::TraceLevel();
    const bool suppressed_ = Common::TraceSuppressed();
    FILE* log_ = nullptr;
    char* logText_ = nullptr;
    size_t logSize_ = 0;
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

TEST_F(Reporting, AssertionDefaultFlagsLogTraceWithStackAndReturn) {
    AssertTest::FailInAKnownPlace(Common::kAssertDefaultFlags, log_);
    const std::string log = Log();
    const std::string first = "Assertion failed: count > 0, file core/common/x.cpp, line 42";
    EXPECT_THAT(log, StartsWith(first + "\n"));
    EXPECT_THAT(log, HasSubstr("FailInAKnownPlace"));
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 1 + 32);

    ASSERT_EQ(tracer_->texts.size(), 2u);
    EXPECT_EQ(tracer_->texts[0], "0 5 0 27 " + first);
    // The stack goes to the trace as one text whose first frame is the failing function.
    const std::string stack = tracer_->texts[1].substr(std::string("0 5 0 27 ").size());
    EXPECT_THAT(stack, StartsWith("0x"));
    EXPECT_THAT(stack.substr(0, stack.find('\n')), HasSubstr("FailInAKnownPlace"));
    EXPECT_EQ(log.substr(log.find('\n') + 1), stack + "\n");
}

TEST_F(Reporting, AssertionEachFlagChoosesItsOwnOutputAndTheTextIsCut) {
    Common::ReportAssertion(Common::kAssertLog, log_, "a", "f.cpp", 1);
    EXPECT_EQ(Log(), "Assertion failed: a, file f.cpp, line 1\n");
    Common::ReportAssertion(Common::kAssertEvent, log_, "b", "f.cpp", 2);
    // Stack alone reports nothing: it adds to outputs that are asked for.
    Common::ReportAssertion(Common::kAssertStack, log_, "c", "f.cpp", 3);
    Common::ReportAssertion(0, log_, "d", "f.cpp", 4);
    Common::ReportAssertion(Common::kAssertIgnoreAll, log_, "e", "f.cpp", 5);
    // Without a user interface the message box answers Ignore, even with abort.
    Common::ReportAssertion(Common::kAssertMessageBox | Common::kAssertAbort | Common::kAssertLog,
                            log_, "x", "f.cpp", 9);
    EXPECT_EQ(Log(),
              "Assertion failed: a, file f.cpp, line 1\nAssertion failed: x, file f.cpp, line 9\n");
    EXPECT_EQ(tracer_->texts,
              std::vector<std::string>{"0 5 0 27 Assertion failed: b, file f.cpp, line 2"});

    const std::string expression(2000, 'e');
    Common::ReportAssertion(Common::kAssertLog | Common::kAssertEvent, log_, expression.c_str(),
                            "f.cpp", 1);
    const std::string cut = "Assertion failed: " + expression.substr(0, 539 - 18);
    EXPECT_THAT(Log(), testing::EndsWith("line 9\n" + cut + "\n"));
    ASSERT_EQ(tracer_->texts.size(), 2u);
    EXPECT_EQ(tracer_->texts[1], "0 5 0 27 " + cut);
}

// The policy is read once, on the first failed assertion of the (fresh) process.
TEST(AssertionDeathTest, AbortTerminatesAndThePolicyComesFromTheEnvironmentOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(Common::ReportAssertion(Common::kAssertAbort, stderr, "x", "f.cpp", 1), "");
    EXPECT_DEATH(
        Common::ReportAssertion(Common::kAssertBreak | Common::kAssertAbort, stderr, "x", "f", 1),
        "");
    ASSERT_FALSE(Common::DebuggerAttached());
    Common::ReportAssertion(Common::kAssertBreak, stderr, "x", "f.cpp", 1);
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
    // The child runs this test again from its start and takes the parent's file name.
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

namespace StackWalkTest {

// Exported and not inlined, so that the walk can name them.
__attribute__((noinline)) std::vector<std::string> WalkFromInner(uint32_t options,
                                                                 uint32_t maxFrames,
                                                                 uint32_t skip) {
    std::vector<std::string> lines;
    Common::WalkStack(
        [&](uint32_t index, std::string_view line) {
            EXPECT_EQ(index, lines.size());
            lines.emplace_back(line);
            return true;
        },
        options, maxFrames, skip);
    return lines;
}

__attribute__((noinline)) std::vector<std::string> WalkFromOuter(uint32_t options,
                                                                 uint32_t maxFrames,
                                                                 uint32_t skip) {
    std::vector<std::string> lines = WalkFromInner(options, maxFrames, skip);
    asm volatile("" ::: "memory");
    return lines;
}

}  // namespace StackWalkTest

namespace {

using StackWalkTest::WalkFromOuter;
using testing::MatchesRegex;

// Frame 0 is WalkFromInner, the caller of WalkStack; names are demangled with their parameters.
TEST(StackWalk, NamesTheCallersInOrderWithSkipAndLimit) {
    const std::vector<std::string> lines = WalkFromOuter(0, 2, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], MatchesRegex("StackWalkTest::WalkFromInner[[(].*\\)\\+0x[0-9A-F]+"));
    EXPECT_THAT(lines[0], HasSubstr("(unsigned int, unsigned int, unsigned int)+0x"));
    EXPECT_THAT(lines[1], StartsWith("StackWalkTest::WalkFromOuter"));

    const std::vector<std::string> skipped = WalkFromOuter(Common::kStackAllParts, 1, 1);
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_THAT(skipped[0],
                MatchesRegex("0x[0-9A-F]{16} StackWalkTest::WalkFromOuter.*\\)\\+0x[0-9A-F]+"));
    EXPECT_TRUE(WalkFromOuter(0, 0, 0).empty());
    EXPECT_TRUE(WalkFromOuter(0, 5, 100000).empty());
    EXPECT_LE(WalkFromOuter(0, 100000, 0).size(), 1024u);
    for (const std::string& line : WalkFromOuter(Common::kStackAddress, 64, 0))
        EXPECT_THAT(line, MatchesRegex("0x[0-9A-F]{16} .+")) << line;
    int calls = 0;  // the callback ends the walk
    Common::WalkStack([&](uint32_t, std::string_view) { return ++calls == 2; }, 0, 10);
    EXPECT_EQ(calls, 1);
}

const Common::Error kSample(COMMON_PLACE("Test::Sample"), 0x1234);

TEST_F(Reporting, TraceLevelAndSuppressionFilterTheSinksAndTheTracerSeesEveryCall) {
    Common::SetTraceLevel(Common::kDefaultTraceLevel);
    Common::TraceText(3, 1, 7, 8, u"too low");
    Common::TraceText(3, 2, 7, 8, u"shown");
    Common::TraceError(1, kSample);
    Common::TraceError(4, kSample);
    EXPECT_EQ(calls, (std::vector<std::string>{"text 3 2 7 8 shown", "error 0 4 4660"}));

    Common::SetTraceSuppressed(true);
    Common::TraceText(0, 9, 0, 0, u"suppressed");
    Common::TraceError(9, kSample);
    Common::TraceError(10, Common::Error());
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(tracer_->texts.size(), 3u);
    EXPECT_EQ(tracer_->errors, 4);
    EXPECT_EQ(Common::SetTracer(nullptr), tracer_);

    // Replacing a sink gives back the one before.
    Common::SetTraceSuppressed(false);
    EXPECT_EQ(Common::SetTraceTextSink(nullptr), &RecordText);
    EXPECT_EQ(Common::SetTraceErrorSink(nullptr), &RecordError);
    Common::TraceText(0, 9, 0, 0, u"nobody");
    Common::TraceError(9, kSample);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_EQ(tracer_->texts.size(), 3u);
}

// KIVO_TRACE_LEVEL is a number or "off"; anything else is the default level.
TEST_F(Reporting, TraceTheLevelSettingAndTheStandardErrorSinkOfTracedErrors) {
    using Common::ParseTraceLevelSetting;
    EXPECT_EQ(ParseTraceLevelSetting("4").level, 4u);
    EXPECT_EQ(ParseTraceLevelSetting("0").level, 0u);
    EXPECT_FALSE(ParseTraceLevelSetting("4").suppressed);
    EXPECT_TRUE(ParseTraceLevelSetting("off").suppressed);
    for (const char* junk : {static_cast<const char*>(nullptr), "", "-1", "4 ", " 4", "4x", "0x4",
                             "OFF", "99999999999"}) {
        EXPECT_EQ(ParseTraceLevelSetting(junk).level, 1u) << junk;
        EXPECT_FALSE(ParseTraceLevelSetting(junk).suppressed) << junk;
    }

    unsetenv("KIVO_TRACE_LEVEL");
    Common::InstallStandardErrorTraceSink();
    EXPECT_EQ(Common::TraceLevel(), 1u);
    Common::Error error(COMMON_PLACE("Test::Dropped"), 0xFC0001, u"Exception from callback.");
    error.Add(kSample);
    testing::internal::CaptureStderr();
    Common::TraceError(1, error);
    Common::TraceText(0, 5, 0, 27, u"texts are not written");
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_THAT(written,
                StartsWith("trace(1): Error 0xfc0001: Exception from callback.\n| line: "));
    EXPECT_THAT(written, HasSubstr("| function: Test::Dropped\n"));
    EXPECT_THAT(written, HasSubstr("| error 0x1234\n"));
    EXPECT_EQ(written.back(), '\n');
    EXPECT_THAT(written, testing::Not(HasSubstr("texts are not written")));

    setenv("KIVO_TRACE_LEVEL", "off", 1);
    Common::InstallStandardErrorTraceSink();
    testing::internal::CaptureStderr();
    Common::TraceError(5, error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    unsetenv("KIVO_TRACE_LEVEL");
}

}  // namespace
