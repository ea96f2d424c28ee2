// Runs the built kivo_dump program in DB mode on stores that the built kivo_store fills, and with
// an IPC client library that refuses to start.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

using KivoDumpTest::Outcome;

// Runs `command` through the shell with no standard input and its standard error dropped.
Outcome RunShell(const std::string& command) {
    return KivoDumpTest::RunCommand(command + " </dev/null 2>/dev/null");
}

class DbProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.Path().empty());
        folder_ = scratch_.Path();
        store_ = folder_ + "/store.db";
    }

    Outcome Store(const std::string& arguments) {
        return RunShell(std::string(KIVO_STORE_PROGRAM) + " '" + store_ + "' " + arguments);
    }
    Outcome Dump(const std::string& arguments) {
        return RunShell(std::string(KIVO_DUMP_PROGRAM) + " " + arguments);
    }

    KivoDumpTest::TemporaryFolder scratch_{"kivo_dump_db_"};
    std::string folder_;
    std::string store_;
};

TEST_F(DbProgramTest, PrintsOneRecordPerMatchingObjectInIdOrder) {
    ASSERT_EQ(Store("put --create "
                    "'.Composite().Trait(\"Is\").String(\"Machine\").End()"
                    ".Trait(\"PrimaryKey\").Guid(6B29FC40-CA47-1067-B31D-00DD010662DA).End()"
                    ".Property(\"Name\").String(\"beta\").End().End()' "
                    "'.Composite().Trait(\"Is\").String(\"User\").End()"
                    ".Property(\"Login\").String(\"ann\").Trait(\"PrimaryKey\").Nil().End().End()"
                    ".End()' "
                    "'.Composite().Trait(\"Is\").String(\"Machine\").End()"
                    ".Trait(\"PrimaryKey\").Guid(3F2504E0-4F89-11D3-9A0C-0305E82C3301).End()"
                    ".Property(\"Name\").String(\"M\xC3\xBCller\").End().End()'")
                  .status,
              0);

    const Outcome machines = Dump("'" + store_ + "' u p DB Machine");
    EXPECT_EQ(machines.output,
              "<object id=\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\">\n"
              "  Root (Composite)\n"
              "    [Is (Common::String) = Machine]\n"
              "    [PrimaryKey (Common::Guid) = 3F2504E0-4F89-11D3-9A0C-0305E82C3301]\n"
              "    Name (Common::String) = M\xC3\xBCller\n"
              "</object>\n"
              "\n"
              "<object id=\"6B29FC40-CA47-1067-B31D-00DD010662DA\">\n"
              "  Root (Composite)\n"
              "    [Is (Common::String) = Machine]\n"
              "    [PrimaryKey (Common::Guid) = 6B29FC40-CA47-1067-B31D-00DD010662DA]\n"
              "    Name (Common::String) = beta\n"
              "</object>\n"
              "\n");
    EXPECT_EQ(machines.status, 0);

    // A pattern with a property value, and the user's hashed key printed as an id.
    const Outcome byName = Dump("'" + store_ +
                                "' u p DB pattern '.Composite().Property(\"Name\").String(\"beta\")"
                                ".End().End()'");
    EXPECT_EQ(byName.status, 0) << byName.output;
    EXPECT_NE(byName.output.find("<object id=\"6B29FC40-"), std::string::npos) << byName.output;
    EXPECT_EQ(byName.output.find("3F2504E0"), std::string::npos) << byName.output;

    const Outcome users = Dump("'" + store_ + "' u p DB User");
    EXPECT_EQ(users.status, 0);
    EXPECT_EQ(users.output.rfind("<object id=\"", 0), 0u) << users.output;
    EXPECT_NE(users.output.find("Login (Common::String) = ann"), std::string::npos);

    const Outcome none = Dump("'" + store_ + "' u p DB Printer");
    EXPECT_EQ(none.output, "");
    EXPECT_EQ(none.status, 0);

    // Records that cannot be written are a failure, not an empty success.
    EXPECT_EQ(Dump("'" + store_ + "' u p DB Machine >/dev/full").status, 11);
    EXPECT_EQ(Dump("'" + store_ + "' u p DB Printer >/dev/full").status, 0);
}

TEST_F(DbProgramTest, AStoreThatCannotBeOpenedIsReportedAndNothingIsCreated) {
    const std::string missing = folder_ + "/no/such/x.db";
    const Outcome outcome = Dump("'" + missing + "' u p DB Machine");
    EXPECT_EQ(outcome.output.rfind("Error 0xfc00", 0), 0u) << outcome.output;
    EXPECT_EQ(outcome.status, 255);
    struct stat info;
    EXPECT_NE(stat((folder_ + "/no").c_str(), &info), 0);

    const Outcome notUtf8 = Dump("'" + folder_ + "/caf\xE9.db' u p DB Machine");
    EXPECT_EQ(notUtf8.output.rfind("Error 0xfc0068: ", 0), 0u) << notUtf8.output;
    const Outcome fileNotUtf8 = Dump("h u p DB pattern_file '" + folder_ + "/caf\xE9.txt'");
    EXPECT_EQ(fileNotUtf8.output.rfind("Error 0x1: Cannot read from file", 0), 0u)
        << fileNotUtf8.output;
    EXPECT_NE(fileNotUtf8.output.find("not valid UTF-8"), std::string::npos);

    const Outcome absentFile = Dump("'" + store_ + "' u p DB Machine");
    EXPECT_EQ(absentFile.output.rfind("Error 0xfc00", 0), 0u) << absentFile.output;
    EXPECT_NE(stat(store_.c_str(), &info), 0) << "opening must not create the store";
}

TEST(IpcClientScope, AFailedInitialisationIsPrintedAndEndsTheRunBeforeTheQuery) {
    const Outcome small = RunShell("KIVO_IPC_CLIENT_INIT_ERROR=2A " +
                                   std::string(KIVO_DUMP_PROGRAM) + " h u p DB pattern 'Nil('");
    EXPECT_EQ(small.output.rfind("Error 0x2a: ", 0), 0u) << small.output;
    EXPECT_EQ(small.output.find("Interpret trace"), std::string::npos) << small.output;
    EXPECT_EQ(small.status, 42);

    const Outcome large = RunShell("KIVO_IPC_CLIENT_INIT_ERROR=0xAE0002 " +
                                   std::string(KIVO_DUMP_PROGRAM) + " h u p QOR Machine");
    EXPECT_EQ(large.output.rfind("Error 0xae0002: ", 0), 0u) << large.output;
    EXPECT_EQ(large.status, 255);
}

}  // namespace
