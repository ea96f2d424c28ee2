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

// A command line that cannot be read prints the fields read so far and the error's code.
TEST(Arguments, BadCommandLinesPrintTheFieldsReadAndTheCode) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, ",,,,,,,,,.\ncode: 1\n"},
        {{"h", "u", "p", "WIPF", "x"}, "h,u,p,,,,,,,.\ncode: 2\n"},
        {{"h", "u", "p", "QOR", "report"}, "h,u,p,QOR,,,,,,report.\ncode: 1\n"},
        {{"h", "u", "p", "QOR", "pattern"}, "h,u,p,QOR,,,,,,.\ncode: 1\n"},
        {{"h", "u", "p", "QOR", "pattern", "P", "options"}, "h,u,p,QOR,,P,,,,.\ncode: 1\n"},
    };
    for (const auto& [words, output] : cases) {
        const Parsed p = Parse(words);
        EXPECT_FALSE(p.ok) << output;
        EXPECT_EQ(p.output, output);
    }
}

// Every field as "host|user|password|service|objectType|pattern|patternFile|options|optionsFile|
// report": the service in any case, a last word "report" taken first (only that exact, last word),
// keywords compared case-sensitively, words after the pattern dropped, arguments kept as bytes.
TEST(Arguments, CommandLinesAreReadIntoTheirFields) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"h", "u", "p", "kivo", "Machine"}, "h|u|p|KIVO|Machine|||||"},
        {{"h", "u", "p", "Db", "x"}, "h|u|p|DB|x|||||"},
        {{"h", "u", "p", "QOR", "Machine", "report"}, "h|u|p|QOR|Machine|||||report"},
        {{"h", "u", "p", "QOR", "Report"}, "h|u|p|QOR|Report|||||"},
        {{"h", "u", "p", "QOR", "report", "x"}, "h|u|p|QOR|report|||||"},
        {{"h", "u", "p", "QOR", "Pattern", "P"}, "h|u|p|QOR|Pattern|||||"},
        {{"h", "u", "p", "QOR", "pattern", "P", "extra", "more"}, "h|u|p|QOR||P||||"},
        {{"h", "u", "p", "YEB", "pattern", "P", "options_file", "o.txt"}, "h|u|p|YEB||P|||o.txt|"},
        {{"h", "u", "p", "tuk", "pattern_file", "p.txt", "options", "O", "report"},
         "h|u|p|TUK|||p.txt|O||report"},
        {{"h\xC3\xA9", "", "p w", "QOR", "pattern", "Dword(1)\t\xFF"},
         "h\xC3\xA9||p w|QOR||Dword(1)\t\xFF||||"},
    };
    for (const auto& [words, fields] : cases) {
        const Parsed p = Parse(words);
        EXPECT_TRUE(p.ok) << fields;
        EXPECT_EQ(p.output, "");
        const Arguments& a = p.arguments;
        EXPECT_EQ(a.host + "|" + a.user + "|" + a.password + "|" + a.service + "|" + a.objectType +
                      "|" + a.pattern + "|" + a.patternFile + "|" + a.options + "|" +
                      a.optionsFile + "|" + a.report,
                  fields);
    }
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
