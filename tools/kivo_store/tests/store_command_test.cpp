// kivo_store run in this process: the counts of what a command did, changes made all or not at
// all, usage errors, missing stores and files, create --if-missing, and the change log's retention
// shown, changed and refused (bad words are usage errors, bad values the store's refusal; neither
// changes the store).

#include "tools/kivo_store/store_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/version.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "tests/support/temporary_folder.h"

namespace {

struct Outcome {
    int status;
    std::string output;
};

// Runs kivo_store with `arguments`; errors go to the same stream as the counts, as on a terminal.
Outcome RunTool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kivo_store");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    std::ostringstream out;
    const int status =
        KivoStoreTool::Run(static_cast<int>(argv.size()), argv.data(), {out, out, false});
    return {status, out.str()};
}

const char* const kDisk =
    ".Composite().Trait(\"Is\").String(\"Disk\").End()"
    ".Trait(\"PrimaryKey\").Guid(9C858901-8A57-4791-81FE-4C455B099BC9).End()"
    ".Property(\"Label\").String(\"data\").End().End()";

TEST(StoreCommand, CommandsCountWhatTheyDidAndChangeAllOrNothing) {
    const KivoTestSupport::TemporaryFolder folder("kivo_store_");
    const std::string db = folder.File("s.db"),
                      sample = std::string(std::getenv("KIVO_SOURCE_DIR")) +
                               "/tools/kivo_store/sample/objects.txt";
    EXPECT_EQ(RunTool({db, "import", "--create", sample}).output,
              "created 6, updated 0, unchanged 0, deleted 0\n");
    EXPECT_EQ(RunTool({db, "import", sample, sample}).output,
              "created 0, updated 0, unchanged 12, deleted 0\n");
    // The sample's disk of the same key, labelled otherwise.
    EXPECT_EQ(RunTool({db, "put", kDisk}).output, "created 0, updated 1, unchanged 0, deleted 0\n");
    // The second argument is not a complete object: the first is not deleted either (below).
    const Outcome broken = RunTool({db, "delete", kDisk, ".Composite()"});
    EXPECT_EQ(broken.status, static_cast<int>(UnitConstructionParser::kUnitNotClosed));
    EXPECT_NE(broken.output.find("Argument 2"), std::string::npos);
    // An object without a key fails the whole put, with the status of its code.
    const Outcome keyless = RunTool({db, "put", kDisk, ".Nil().End()"});
    EXPECT_EQ(keyless.status, 255);
    EXPECT_NE(keyless.output.find("0xfc000a"), std::string::npos);
    EXPECT_EQ(RunTool({db, "delete", kDisk}).output,
              "created 0, updated 0, unchanged 0, deleted 1\n");
    // Updating what is not there fails and makes nothing: the disk comes anew.
    EXPECT_EQ(RunTool({db, "update", kDisk}).status, 255);
    EXPECT_EQ(RunTool({db, "put", kDisk}).output, "created 1, updated 0, unchanged 0, deleted 0\n");
}

// Usage errors, a missing store, and a missing input (read before the store is opened) make
// nothing.
TEST(StoreCommand, RefusesBadCommandLinesAndMissingStoresAndFiles) {
    const KivoTestSupport::TemporaryFolder folder("kivo_store_");
    const std::string db = folder.File("s.db");
    // A usage mistake says what is wrong and gives the usage, without an error's internals.
    const Outcome help = RunTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(RunTool({"--version"}).output, std::string("kivo_store ") + Common::kVersion + "\n");
    const std::string usage = help.output.substr(0, help.output.find("Fills an object store"));
    const std::pair<std::vector<std::string>, const char*> mistakes[] = {
        {{}, "a connection string and a command are needed"},
        {{db}, "a command is needed after the connection string"},
        {{"--help", "x"}, "'x' is not a command of kivo_store"},
        {{db, "drop"}, "'drop' is not a command of kivo_store"},
        {{db, "put"}, "put needs at least one object"},
        {{db, "create", "x"}, "'x' is not age=<seconds> or entries=<count>"},
        {{db, "update", "--create", kDisk}, "--create is only for put and import"}};
    for (const auto& [line, says] : mistakes) {
        const Outcome outcome = RunTool(line);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.output, "kivo_store: " + std::string(says) + "\n" + usage);
    }
    EXPECT_NE(RunTool({db, "put", kDisk}).output.find("0xfc0061"), std::string::npos);
    EXPECT_EQ(RunTool({db, "import", folder.File("nothing.txt")}).status, 1);
    EXPECT_NE(RunTool({db, "retention"}).status, 0);
    for (const char* bad : {"age=x", "entries=0"})
        EXPECT_NE(RunTool({db, "create", bad}).status, 0) << bad;
    EXPECT_TRUE(folder.Names().empty());
}

TEST(StoreCommand, RetentionIsShownChangedAndRefused) {
    const KivoTestSupport::TemporaryFolder folder("kivo_store_");
    const std::string db = folder.File("s.db");
    EXPECT_EQ(RunTool({db, "create", "--if-missing", "entries=3", "age=120"}).output,
              "created the store " + db + "\n");
    // create --if-missing leaves a store that is there as it is; any other file is an error.
    EXPECT_EQ(RunTool({db, "create", "entries=5", "--if-missing"}).output,
              "the store " + db + " is there already\n");
    const std::string text = folder.File("notes.txt");
    std::ofstream(text) << "not a store";
    EXPECT_EQ(RunTool({text, "create", "--if-missing"}).output.rfind("Error 0xfc0063", 0), 0u);
    EXPECT_EQ(RunTool({":memory:", "create", "--if-missing"}).status, 255);
    EXPECT_EQ(RunTool({db, "retention"}).output, "retention: age 120 s, entries 3\n");
    EXPECT_EQ(RunTool({db, "retention", "entries=5"}).output, "retention: age 120 s, entries 5\n");
    EXPECT_EQ(RunTool({db, "retention", "age=60", "entries=7"}).output,
              "retention: age 60 s, entries 7\n");
    // Words are usage mistakes (status 2), values out of range the store's refusal (0xfc0082).
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"age=-1"}, "usage"},
        {{"age=1e3"}, "usage"},
        {{"age= 5"}, "usage"},
        {{"age="}, "usage"},
        {{"entries=18446744073709551616"}, "usage"},
        {{"size=5"}, "usage"},
        {{"entries"}, "usage"},
        {{"age=5", "age=6"}, "usage"},
        {{"--create"}, "usage"},
        {{"age=0"}, "0xfc0082"},
        {{"entries=0"}, "0xfc0082"},
        {{"age=99999999999999999"}, "0xfc0082"},
        {{"entries=9007199254740993"}, "0xfc0082"}};
    for (const auto& [words, code] : refused) {
        std::vector<std::string> arguments{db, "retention"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        const Outcome outcome = RunTool(arguments);
        EXPECT_EQ(outcome.status, std::string_view(code) == "usage" ? 2 : 255) << words.front();
        EXPECT_NE(outcome.output.find(code), std::string::npos) << outcome.output;
    }
    EXPECT_EQ(RunTool({db, "retention"}).output, "retention: age 60 s, entries 7\n");
}

}  // namespace
