#include "core/common/trace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/common/standard_error_trace.h"
#include "core/common/text.h"

namespace {

using testing::HasSubstr;
using testing::StartsWith;

// What reached the sinks: "text channel level id1 id2 text" or "error channel level code".
std::vector<std::string> calls;

void RecordText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                std::u16string_view text) noexcept {
    calls.push_back("text " + std::to_string(channel) + " " + std::to_string(level) + " " +
                    std::to_string(id1) + " " + std::to_string(id2) + " " + Common::ToUtf8(text));
}

void RecordError(uint32_t channel, uint32_t level, const Common::Error& error) noexcept {
    calls.push_back("error " + std::to_string(channel) + " " + std::to_string(level) + " " +
                    std::to_string(error.Code()));
}

class CountingTracer : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t, uint32_t, uint32_t, std::u16string_view) noexcept override {
        ++texts;
    }
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override { ++errors; }
    int texts = 0;
    int errors = 0;
};

// Installs the recording sinks and restores the trace state afterwards.
class Trace : public testing::Test {
  protected:
    Trace() {
        calls.clear();
        previousText_ = Common::SetTraceTextSink(&RecordText);
        previousError_ = Common::SetTraceErrorSink(&RecordError);
    }
    ~Trace() override {
        Common::SetTraceTextSink(previousText_);
        Common::SetTraceErrorSink(previousError_);
        Common::SetTraceLevel(level_);
        Common::SetTraceSuppressed(suppressed_);
        Common::SetTracer(nullptr);
    }

    Common::TraceTextSink previousText_;
    Common::TraceErrorSink previousError_;
    const uint32_t level_ = Common::TraceLevel();
    const bool suppressed_ = Common::TraceSuppressed();
};

const Common::Error kSample(COMMON_PLACE("Test::Sample"), 0x1234);

TEST_F(Trace, TheMinimumLevelAndSuppressionFilterTheSinks) {
    Common::SetTraceLevel(Common::kDefaultTraceLevel);
    Common::TraceText(3, 1, 7, 8, u"too low");
    Common::TraceText(3, 2, 7, 8, u"shown");
    Common::TraceError(1, kSample);
    Common::TraceError(4, kSample);
    EXPECT_EQ(calls, (std::vector<std::string>{"text 3 2 7 8 shown", "error 0 4 4660"}));

    Common::SetTraceSuppressed(true);
    Common::TraceText(0, 9, 0, 0, u"suppressed");
    Common::TraceError(9, kSample);
    EXPECT_EQ(calls.size(), 2u);

    // Replacing a sink gives back the one before.
    Common::SetTraceSuppressed(false);
    EXPECT_EQ(Common::SetTraceTextSink(nullptr), &RecordText);
    EXPECT_EQ(Common::SetTraceErrorSink(nullptr), &RecordError);
    Common::TraceText(0, 9, 0, 0, u"nobody");
    Common::TraceError(9, kSample);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(Trace, TheTracerSeesEveryCallWhateverTheFilter) {
    auto tracer = std::make_shared<CountingTracer>();
    EXPECT_EQ(Common::SetTracer(tracer), nullptr);
    Common::SetTraceLevel(10);
    Common::SetTraceSuppressed(true);
    Common::TraceText(0, 0, 0, 0, u"a");
    Common::TraceError(0, kSample);
    Common::TraceError(10, Common::Error());
    EXPECT_EQ(tracer->texts, 1);
    EXPECT_EQ(tracer->errors, 2);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(Common::SetTracer(nullptr), tracer);
    Common::TraceText(0, 0, 0, 0, u"b");
    EXPECT_EQ(tracer->texts, 1);
}

TEST(TraceLevelSetting, NumbersOffAndJunk) {
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
}

TEST_F(Trace, TheStandardErrorSinkWritesTracedErrors) {
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
