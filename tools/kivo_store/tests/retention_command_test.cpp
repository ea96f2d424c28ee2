// kivo_store retention: shows and changes the change log's retention; bad words are usage
// errors and bad values the store's refusal, and neither changes the store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"
#include "tools/kivo_store/tests/tool_runner_support.h"

namespace {

using KivoStoreToolTest::Outcome;
using KivoStoreToolTest::RunTool;

TEST(RetentionCommandTest, ShowsChangesAndRefuses) {
    KivoStoreTest::ScratchFolder folder;
    const std::string db = folder.File("s.db");
    ASSERT_EQ(RunTool({db, "create"}).status, 0);
    EXPECT_EQ(RunTool({db, "retention"}).output, "retention: age 86400 s, entries 1000000\n");
    EXPECT_EQ(RunTool({db, "retention", "entries=5"}).output,
              "retention: age 86400 s, entries 5\n");
    EXPECT_EQ(RunTool({db, "retention", "age=60", "entries=7"}).output,
              "retention: age 60 s, entries 7\n");

    const struct {
        std::vector<std::string> words;
        const char* code;  // the code's hexadecimal text in the error
    } refused[] = {
        {{"age=-1"}, "0xfc0073"},
        {{"age=1e3"}, "0xfc0073"},
        {{"age= 5"}, "0xfc0073"},
        {{"age="}, "0xfc0073"},
        {{"entries=18446744073709551616"}, "0xfc0073"},
        {{"size=5"}, "0xfc0073"},
        {{"entries"}, "0xfc0073"},
        {{"age=5", "age=6"}, "0xfc0073"},
        {{"--create"}, "0xfc0073"},
        {{"age=0"}, "0xfc0082"},
        {{"entries=0"}, "0xfc0082"},
        {{"age=99999999999999999"}, "0xfc0082"},
        {{"entries=9007199254740993"}, "0xfc0082"},
    };
    for (const auto& bad : refused) {
        std::vector<std::string> arguments{db, "retention"};
        arguments.insert(arguments.end(), bad.words.begin(), bad.words.end());
        SCOPED_TRACE(bad.words.front());
        const Outcome outcome = RunTool(arguments);
        EXPECT_NE(outcome.status, 0);
        EXPECT_NE(outcome.output.find(bad.code), std::string::npos) << outcome.output;
    }
    EXPECT_EQ(RunTool({db, "retention"}).output, "retention: age 60 s, entries 7\n");
    EXPECT_NE(RunTool({folder.File("missing.db"), "retention"}).status, 0);
}

TEST(RetentionCommandTest, CreateTakesTheSameWordsAndMakesNothingWhenRefused) {
    KivoStoreTest::ScratchFolder folder;
    const std::string db = folder.File("s.db");
    for (const char* bad : {"age=x", "entries=0"}) {
        EXPECT_NE(RunTool({db, "create", bad}).status, 0) << bad;
        EXPECT_TRUE(folder.Names().empty()) << bad;
    }
    ASSERT_EQ(RunTool({db, "create", "entries=3", "age=120"}).status, 0);
    EXPECT_EQ(RunTool({db, "retention"}).output, "retention: age 120 s, entries 3\n");
}

}  // namespace
