#include "enterprise/common/kivo/tools/dump/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/error/error.h"

namespace {

using KivoDump::Arguments;

// Owns a writable argument vector whose first entry is the program name.
class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> words) : words_(std::move(words)) {
        words_.insert(words_.begin(), "kivo_dump");
        for (std::string& word : words_)
            vector_.push_back(word.data());
        vector_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return vector_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> vector_;
};

struct Parsed {
    bool ok;
    std::string output;
    Arguments arguments;
};

Parsed Parse(std::vector<std::string> words) {
    CommandLine line(std::move(words));
    Arguments arguments(line.argc(), line.argv());
    testing::internal::CaptureStdout();
    const bool ok = arguments.Parse();
    return {ok, testing::internal::GetCapturedStdout(), arguments};
}

TEST(Arguments, NoArgumentsReportsNineCommasAndCodeOne) {
    const Parsed p = Parse({});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.output, ",,,,,,,,,.\ncode: 1\n");
}

TEST(Arguments, ObjectTypeWithServiceInAnyCase) {
    const Parsed p = Parse({"h", "u", "p", "kivo", "Machine"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(p.arguments.host, "h");
    EXPECT_EQ(p.arguments.user, "u");
    EXPECT_EQ(p.arguments.password, "p");
    EXPECT_EQ(p.arguments.service, "KIVO");
    EXPECT_EQ(p.arguments.objectType, "Machine");
    EXPECT_EQ(p.arguments.report, "");
    EXPECT_EQ(Parse({"h", "u", "p", "Db", "x"}).arguments.service, "DB");
}

TEST(Arguments, TrailingReportWordIsTakenFirst) {
    const Parsed p = Parse({"h", "u", "p", "QOR", "Machine", "report"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.arguments.objectType, "Machine");
    EXPECT_EQ(p.arguments.report, "report");

    const Parsed bare = Parse({"h", "u", "p", "QOR", "report"});
    EXPECT_FALSE(bare.ok);
    EXPECT_EQ(bare.output, "h,u,p,QOR,,,,,,report.\ncode: 1\n");

    // Only the exact, last word counts.
    EXPECT_EQ(Parse({"h", "u", "p", "QOR", "Report"}).arguments.objectType, "Report");
    EXPECT_EQ(Parse({"h", "u", "p", "QOR", "report", "x"}).arguments.objectType, "report");
}

TEST(Arguments, UnknownServiceIsCodeTwo) {
    const Parsed p = Parse({"h", "u", "p", "WIPF", "x"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.output, "h,u,p,,,,,,,.\ncode: 2\n");
}

TEST(Arguments, PatternsAndOptions) {
    EXPECT_EQ(Parse({"h", "u", "p", "QOR", "pattern"}).output, "h,u,p,QOR,,,,,,.\ncode: 1\n");

    const Parsed extra = Parse({"h", "u", "p", "QOR", "pattern", "P", "extra", "more"});
    ASSERT_TRUE(extra.ok);
    EXPECT_EQ(extra.arguments.pattern, "P");
    EXPECT_EQ(extra.arguments.options, "");
    EXPECT_EQ(extra.arguments.objectType, "");

    EXPECT_EQ(Parse({"h", "u", "p", "QOR", "pattern", "P", "options"}).output,
              "h,u,p,QOR,,P,,,,.\ncode: 1\n");

    const Parsed mixed = Parse({"h", "u", "p", "YEB", "pattern", "P", "options_file", "o.txt"});
    ASSERT_TRUE(mixed.ok);
    EXPECT_EQ(mixed.arguments.pattern, "P");
    EXPECT_EQ(mixed.arguments.optionsFile, "o.txt");

    const Parsed files =
        Parse({"h", "u", "p", "tuk", "pattern_file", "p.txt", "options", "O", "report"});
    ASSERT_TRUE(files.ok);
    EXPECT_EQ(files.arguments.patternFile, "p.txt");
    EXPECT_EQ(files.arguments.options, "O");
    EXPECT_EQ(files.arguments.report, "report");

    // Keywords are case-sensitive: "Pattern" is an object type.
    EXPECT_EQ(Parse({"h", "u", "p", "QOR", "Pattern", "P"}).arguments.objectType, "Pattern");
}

TEST(Arguments, ArgumentsAreKeptAsBytes) {
    const Parsed p = Parse({"h\xC3\xA9", "", "p w", "QOR", "pattern", "Dword(1)\t\xFF"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.arguments.host, "h\xC3\xA9");
    EXPECT_EQ(p.arguments.user, "");
    EXPECT_EQ(p.arguments.password, "p w");
    EXPECT_EQ(p.arguments.pattern, "Dword(1)\t\xFF");
}

TEST(Arguments, ArgAndFindServiceRaiseTheirErrors) {
    CommandLine line({"h"});
    Arguments arguments(line.argc(), line.argv());
    EXPECT_EQ(arguments.Arg(1), "h");
    try {
        arguments.Arg(2);
        FAIL() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 1u);
        EXPECT_EQ(error.Message(), u"Not enought arguments specified");
        EXPECT_STREQ(error.Place().function, "Arguments::Arg");
    }
    try {
        arguments.FindService("kivo2");
        FAIL() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 2u);
        EXPECT_EQ(error.Message(), u"Unknown service specified");
        EXPECT_STREQ(error.Place().function, "Arguments::FindService");
    }
}

TEST(Arguments, AnEmptyArgumentVectorIsReadSafely) {
    char* none[] = {nullptr};
    Arguments arguments(0, none);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(arguments.Parse());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ",,,,,,,,,.\ncode: 1\n");
}

}  // namespace
