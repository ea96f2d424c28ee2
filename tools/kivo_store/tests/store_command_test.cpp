#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "platform/store/store.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"
#include "tools/kivo_store/tests/tool_runner_support.h"

namespace {

using KivoStoreToolTest::Outcome;
using KivoStoreToolTest::RunTool;

size_t CountObjects(const std::u16string& connection) {
    size_t count = 0;
    KivoStore::Store::Open(connection)
        ->Report(*KivoStoreTest::TypePattern(u""), 0,
                 [&](const Zaph::View::SharedUnitPtr&) { ++count; });
    return count;
}

const char* const kDisk =
    ".Composite().Trait(\"Is\").String(\"Disk\").End()"
    ".Trait(\"PrimaryKey\").Guid(9C858901-8A57-4791-81FE-4C455B099BC9).End()"
    ".Property(\"Label\").String(\"data\").End().End()";

TEST(StoreCommandTest, SampleImportsAndCountsWhatItDid) {
    KivoStoreTest::ScratchFolder folder;
    const std::string db = folder.File("s.db");
    const std::string sample =
        std::string(std::getenv("KIVO_SOURCE_DIR")) + "/tools/kivo_store/sample/objects.txt";
    EXPECT_EQ(RunTool({db, "import", "--create", sample}).output,
              "created 6, updated 0, unchanged 0, deleted 0\n");
    EXPECT_EQ(RunTool({db, "import", sample, sample}).output,
              "created 0, updated 0, unchanged 12, deleted 0\n");
    EXPECT_EQ(CountObjects(folder.WideFile("s.db")), 6u);
}

TEST(StoreCommandTest, CommandsChangeAllOrNothing) {
    KivoStoreTest::ScratchFolder folder;
    const std::string db = folder.File("s.db");
    EXPECT_EQ(RunTool({db, "create"}).status, 0);
    EXPECT_EQ(RunTool({db, "put", kDisk}).output, "created 1, updated 0, unchanged 0, deleted 0\n");

    // The second argument is not a complete object: the first is not deleted either.
    const Outcome broken = RunTool({db, "delete", kDisk, ".Composite()"});
    EXPECT_EQ(broken.status, static_cast<int>(UnitConstructionParser::kUnitNotClosed));
    EXPECT_NE(broken.output.find("Argument 2"), std::string::npos);
    EXPECT_EQ(CountObjects(folder.WideFile("s.db")), 1u);

    // An object without a key fails the whole put, with the status of its code.
    const Outcome keyless = RunTool({db, "put", kDisk, ".Nil().End()"});
    EXPECT_EQ(keyless.status, 255);
    EXPECT_NE(keyless.output.find("0xfc000a"), std::string::npos);

    EXPECT_EQ(RunTool({db, "delete", kDisk}).output,
              "created 0, updated 0, unchanged 0, deleted 1\n");
    EXPECT_EQ(RunTool({db, "update", kDisk}).status, 255);
    EXPECT_EQ(CountObjects(folder.WideFile("s.db")), 0u);
}

TEST(StoreCommandTest, RefusesUnknownCommandsAndMissingStores) {
    KivoStoreTest::ScratchFolder folder;
    const std::string db = folder.File("s.db");
    for (const std::vector<std::string>& line :
         std::vector<std::vector<std::string>>{{},
                                               {db},
                                               {db, "drop"},
                                               {db, "put"},
                                               {db, "create", "x"},
                                               {db, "update", "--create", kDisk}}) {
        const Outcome outcome = RunTool(line);
        EXPECT_EQ(outcome.status, 255);
        EXPECT_NE(outcome.output.find("usage"), std::string::npos) << outcome.output;
    }
    const Outcome missing = RunTool({db, "put", kDisk});
    EXPECT_NE(missing.output.find("0xfc0061"), std::string::npos) << missing.output;
    EXPECT_TRUE(folder.Names().empty());
    // Inputs are read before the store is opened: a missing file is the file's error.
    EXPECT_EQ(RunTool({db, "import", folder.File("nothing.txt")}).status, 1);
    EXPECT_TRUE(folder.Names().empty());
}

}  // namespace
