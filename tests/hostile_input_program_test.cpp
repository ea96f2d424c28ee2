// Runs the built kivo_store and kivo_dump as a careless or hostile user would: objects that are
// cut off or run into each other, numbers out of range, FIFOs that nobody writes, readers that
// go away, names that are not UTF-8.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tests/program_test_support.h"
#include "tests/support/temporary_folder.h"

namespace {

using KivoProgramTest::Outcome;

const std::string kStore = KivoProgramTest::StoreProgram();
const std::string kDump = KivoProgramTest::DumpProgram();

// A machine with key `n` (a GUID whose last group is n) and a property Name.
std::string Machine(int n, const std::string& name = "m") {
    char key[40];
    std::snprintf(key, sizeof key, "6B29FC40-CA47-1067-B31D-%012X", n);
    return ".Composite().Trait(\"Is\").String(\"Machine\").End()"
           ".Trait(\"PrimaryKey\").Guid(" +
           std::string(key) + ").End().Property(\"Name\").String(\"" + name + "\").End().End()\n";
}

class HostileInputTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Shell(kStore + " '" + store_ + "' create").status, 0); }

    // Runs `command` with no standard input; standard error joins standard output.
    static Outcome Shell(const std::string& command) {
        return KivoTestSupport::RunCommand("{ " + command + " ; } </dev/null 2>&1");
    }
    std::string WriteFile(const std::string& name, const std::string& content) {
        std::ofstream(folder_.File(name), std::ios::binary) << content;
        return In(name);
    }
    std::string ReadFile(const std::string& name) {
        return KivoTestSupport::ReadFile(folder_.File(name));
    }
    // `name` in the folder, quoted for the shell.
    std::string In(const std::string& name) const {
        const std::string path = folder_.File(name);
        return "'" + path + "'";
    }
    size_t CountMachines() {
        return KivoProgramTest::Objects(Shell(kDump + " '" + store_ + "' u p DB Machine").output);
    }

    KivoTestSupport::TemporaryFolder folder_{"kivo_hostile_"};
    const std::string store_ = folder_.File("s.db");
};

TEST_F(HostileInputTest, AnImportThatIsNotASequenceOfWholeObjectsStoresNothing) {
    const std::string withoutEnd = Machine(1).substr(0, Machine(1).rfind(".End()"));
    for (const std::string& broken : {withoutEnd + "\n" + Machine(2), Machine(3) + withoutEnd}) {
        const Outcome outcome =
            Shell(kStore + " '" + store_ + "' import " + WriteFile("in.txt", broken));
        EXPECT_NE(outcome.status, 0) << broken << "\n" << outcome.output;
        EXPECT_NE(outcome.output.find("in.txt"), std::string::npos) << outcome.output;
        EXPECT_NE(outcome.output.find("Line 2, column 1"), std::string::npos) << outcome.output;
        EXPECT_EQ(CountMachines(), 0u) << broken;
    }
    // The same text is still a query: the last complete root unit is the pattern.
    const Outcome query =
        Shell(kDump + " '" + store_ + "' u p DB pattern '" + withoutEnd + Machine(2) + "'");
    EXPECT_EQ(query.status, 0) << query.output;
}

TEST_F(HostileInputTest, NumbersOutOfTheirKindsRangeAreRefusedOnlyWhenStored) {
    const std::pair<const char*, int> numbers[] = {{"Byte(256)", 3},
                                                   {"Word(65537)", 3},
                                                   {"DWord(4294967297)", 3},
                                                   {"DWord(-2)", 3},
                                                   {"SWord(40000)", 8},
                                                   {"SDWord(2147483648)", 8},
                                                   {"SQWord(9223372036854775808)", 8}};
    for (const auto& [literal, status] : numbers) {
        const std::string object = Machine(1).substr(0, Machine(1).rfind(".End()")) +
                                   ".Property(\"N\")." + literal + ".End().End()";
        const Outcome outcome = Shell(kStore + " '" + store_ + "' put '" + object + "'");
        EXPECT_EQ(outcome.status, status) << literal << "\n" << outcome.output;
        EXPECT_NE(outcome.output.find("Argument 1"), std::string::npos) << outcome.output;
    }
    EXPECT_EQ(CountMachines(), 0u);
    // Queries keep the text format's rule: the low bits of the number.
    const Outcome query = Shell(kDump + " '" + store_ +
                                "' u p DB pattern '.Composite().Property(\"N\").DWord(-1).End()"
                                ".End()'");
    EXPECT_EQ(query.status, 0) << query.output;
    EXPECT_NE(query.output.find(".Dword(4294967295)"), std::string::npos) << query.output;
}

TEST_F(HostileInputTest, AFifoIsWaitedForBoundedlyAndWithoutTheStoresWriteLock) {
    const std::string fifo = folder_.File("p");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A writer that comes: the import waits for it without holding the store, so another
    // writer gets through meanwhile. "exec 3>" returns once the import has opened the FIFO.
    const Outcome fed =
        Shell("( " + kStore + " '" + store_ + "' import '" + fifo + "' > " + In("import.out") +
              " 2>&1; echo $? >> " + In("import.out") + " ) & exec 3>'" + fifo + "'; " + kStore +
              " '" + store_ + "' put '" + Machine(1) + "' && printf '%s' '" + Machine(2) +
              "' >&3 && exec 3>&- && wait");
    EXPECT_EQ(fed.status, 0) << fed.output;
    EXPECT_EQ(ReadFile("import.out"), "created 1, updated 0, unchanged 0, deleted 0\n0\n");
    EXPECT_EQ(CountMachines(), 2u);

    // Nobody writes: both programs give up after the bound, with a clear reason.
    const Outcome unfed = Shell(kStore + " '" + store_ + "' import '" + fifo + "' > " +
                                In("store.out") + " 2>&1 & " + kDump + " h u p DB pattern_file '" +
                                fifo + "'; echo dump=$?; wait $!; echo store=$?");
    EXPECT_NE(unfed.output.find("FIFO within 10 seconds"), std::string::npos) << unfed.output;
    EXPECT_TRUE(unfed.output.ends_with("dump=1\nstore=1\n")) << unfed.output;
    EXPECT_NE(ReadFile("store.out").find("FIFO within 10 seconds"), std::string::npos);
}

TEST_F(HostileInputTest, AReaderThatGoesAwayEndsTheReportWithCodeEleven) {
    std::string objects;
    for (int i = 0; i < 3000; ++i)
        objects += Machine(i, std::string(40, 'x'));
    ASSERT_EQ(Shell(kStore + " '" + store_ + "' import " + WriteFile("many.txt", objects)).status,
              0);
    const Outcome closed = Shell("( " + kDump + " '" + store_ + "' u p DB Machine 2>" + In("err") +
                                 "; echo $? > " + In("status") + " ) | head -n 1");
    EXPECT_EQ(closed.output, "<object id=\"6B29FC40-CA47-1067-B31D-000000000000\">\n");
    EXPECT_EQ(ReadFile("status"), "11\n");
    EXPECT_EQ(ReadFile("err").rfind("Error 0xb: ", 0), 0u) << ReadFile("err");
    EXPECT_NE(ReadFile("err").find("Broken pipe"), std::string::npos) << ReadFile("err");

    // kivo_store: counts that cannot be written are an error, and its errors reach standard
    // error, once on a terminal-like shared file, on both streams otherwise; a usage mistake goes
    // to standard error only.
    EXPECT_EQ(Shell(kStore + " '" + store_ + "' put '" + Machine(5000) + "' >/dev/full").status,
              255);
    Shell(kStore + " '" + store_ + "' update '" + Machine(7000) + "' >" + In("out") + " 2>" +
          In("err2"));
    EXPECT_EQ(ReadFile("out"), ReadFile("err2"));
    EXPECT_NE(ReadFile("out").find("$module: kivo_store\n"), std::string::npos) << ReadFile("out");
    const Outcome shared = Shell(kStore + " '" + store_ + "' update '" + Machine(7000) + "'");
    EXPECT_EQ(shared.output.find("Error 0x"), shared.output.rfind("Error 0x")) << shared.output;
    EXPECT_EQ(Shell(kStore + " '" + store_ + "' drop >" + In("out") + " 2>" + In("err2")).status,
              2);
    EXPECT_EQ(ReadFile("out"), "");
    EXPECT_EQ(
        ReadFile("err2").rfind("kivo_store: 'drop' is not a command of kivo_store\nusage: ", 0), 0u)
        << ReadFile("err2");
}

TEST_F(HostileInputTest, NamesAndTextsThatAreNotPlainAreHandledAsThemselves) {
    const Outcome notUtf8 =
        Shell("cd '" + folder_.Path() + "' && " + kStore + " $(printf 'st\\377\\376.db') create");
    EXPECT_EQ(notUtf8.output.rfind("Error 0xfc0068: ", 0), 0u) << notUtf8.output;
    EXPECT_EQ(folder_.Names(), std::vector<std::string>{"s.db"});

    // A NUL byte in the input is shown, not taken as the end of the error text.
    const Outcome withNul = Shell(kDump + " '" + store_ + "' u p DB pattern_file " +
                                  WriteFile("nul.txt", std::string(".Comp\0site().End()", 18)));
    EXPECT_NE(withNul.output.find("site' is unknown"), std::string::npos) << withNul.output;
}

}  // namespace
