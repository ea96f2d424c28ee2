// Runs kivo_dump against the view manager of a real service over a store that kivo_store fills,
// served in the test program's own process over the in-process transport
// (service_dump_main.cpp): reports equal to those of DB mode on the same store, and listening over
// both interface versions to what kivo_store writes from another process, up to a history that
// the store's retention pruned.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

using KivoDumpTest::Outcome;

using KivoDumpTest::CreatedDisk;
using KivoDumpTest::DeletedDisk;
using KivoDumpTest::Disk;
using KivoDumpTest::UpdatedDisk;

class ServiceProgramTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.Path().empty()); }

    // Runs kivo_store on the store; true when it succeeded.
    bool Store(const std::string& arguments) const {
        return KivoDumpTest::RunCommand(std::string(KIVO_STORE_PROGRAM) + " '" + store_ + "' " +
                                        arguments + " >/dev/null 2>&1")
                   .status == 0;
    }
    // The command line of kivo_dump with `arguments` from the service keyword on, over the service
    // of interface `version`.
    std::string WithService(int version, const std::string& arguments) const {
        return std::string(KIVO_DUMP_WITH_SERVICE_PROGRAM) + " '" + store_ + "' " +
               std::to_string(version) + " localhost u p " + arguments + " 2>/dev/null";
    }

    KivoDumpTest::TemporaryFolder folder_{"kivo_dump_service_"};
    std::string store_ = folder_.Path() + "/store.db";
};

// Every kind of value of the sample, exactly the 2000 objects that a remote query asks for when it
// sets no limit, a limit of its own, and nothing, over both interface versions: the service's
// report is byte for byte what DB mode reads from the same store.
TEST_F(ServiceProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(Store(KivoDumpTest::SampleAndDisksImport(folder_.Path())));
    const std::string limit = KivoDumpTest::kLimitFive;
    const struct {
        int version;
        const char* service;
        std::string query;
        size_t objects;
    } cases[] = {
        {2, "QOR ", "Machine", 2},
        {1, "KIVO ", "Disk", 1996},
        {2, "QOR ", "pattern '.Nil().End()'", 2000},
        {2, "KIVO ", "pattern '.Nil().End()'" + limit, 5},
        {1, "QOR ",
         "pattern '.Composite().Property(\"Name\").String(\"beta\").End().End()'" + limit, 1},
        {2, "QOR ", "Printer", 0},
    };
    for (const auto& run : cases) {
        const Outcome db =
            KivoDumpTest::RunCommand(std::string(KIVO_DUMP_PROGRAM) + " '" + store_ + "' u p DB " +
                                     run.query + " report </dev/null 2>/dev/null");
        const Outcome service =
            KivoDumpTest::RunCommand(WithService(run.version, run.service + run.query + " report"));
        EXPECT_EQ(db.status, 0) << run.query;
        EXPECT_EQ(service.status, 0) << run.query << "\n" << service.output.substr(0, 2000);
        EXPECT_EQ(KivoDumpTest::Objects(db.output), run.objects) << run.query;
        EXPECT_TRUE(KivoDumpTest::SameReport(db.output, service.output)) << run.query;
    }
}

// Listening over either interface version prints the snapshot, then what kivo_store writes from
// another process, until input is closed; a tape beside the disks never shows. A write that prunes
// the listener's next change from the change log ends the run by itself with code 7, the history
// lost as its reason.
TEST_F(ServiceProgramTest, ListensToWhatAnotherProcessWrites) {
    const std::string snapshot = CreatedDisk(1, "a") + CreatedDisk(2, "b");
    const std::string changes = CreatedDisk(3, "c") + UpdatedDisk(1, "a2") + DeletedDisk(2);
    const std::string tape = KivoDumpTest::DiskArgument(9, "t", "Tape");
    const std::vector<std::string> changing = {
        "put" + KivoDumpTest::DiskArgument(3, "c"),
        "update" + KivoDumpTest::DiskArgument(1, "a2") + KivoDumpTest::DiskArgument(9, "u", "Tape"),
        "delete" + tape + KivoDumpTest::DiskArgument(2, "b")};
    const std::vector<std::string> pruning = {"put" + KivoDumpTest::DiskArgument(3, "c") +
                                              KivoDumpTest::DiskArgument(4, "d") +
                                              KivoDumpTest::DiskArgument(5, "e")};
    const std::string ended = "Error 0x7: Subscription has ended with error.\n";
    const struct {
        int version;
        const char* retention;
        const std::vector<std::string>& writes;  // each one transaction, once the snapshot printed
        int status;
        std::string begin;   // of the output, times written "T"; all of it when status is 0
        const char* reason;  // found in the output
    } cases[] = {
        {2, "", changing, 0, snapshot + changes, ""},
        {1, "", changing, 0, snapshot + changes, ""},
        {2, " entries=1", pruning, 7, snapshot + ended, "error 0xfc0080: "},
        {1, " entries=1", pruning, 7, snapshot + ended, "error 0xfc0080: "},
    };
    for (const auto& run : cases) {
        store_ = folder_.Path() + "/" + std::to_string(&run - cases) + ".db";
        ASSERT_TRUE(Store(std::string("create") + run.retention));
        ASSERT_TRUE(Store("put" + KivoDumpTest::DiskArgument(1, "a") + tape +
                          KivoDumpTest::DiskArgument(2, "b")));
        const KivoDumpTest::Action write = [&](pid_t, int&) {
            for (const std::string& command : run.writes)
                EXPECT_TRUE(Store(command)) << command;
        };
        const KivoDumpTest::Action endOfInput = [](pid_t, int& input) {
            ::close(std::exchange(input, -1));
        };
        std::vector<KivoDumpTest::Step> steps = {{"= b\n</created>\n\n", write}};
        if (run.status == 0)
            steps.push_back({"</deleted>\n\n", endOfInput});
        const Outcome outcome = KivoDumpTest::RunWithInputHeld(WithService(run.version, "QOR Disk"),
                                                               steps, std::chrono::seconds(30));
        std::vector<std::string> times;
        const std::string output = KivoDumpTest::WithoutTimes(outcome.output, times);
        EXPECT_EQ(outcome.status, run.status) << run.version << run.retention << "\n" << output;
        EXPECT_EQ(run.status == 0 ? output : output.substr(0, run.begin.size()), run.begin);
        EXPECT_NE(output.find(run.reason), std::string::npos) << output;
    }
}

}  // namespace
