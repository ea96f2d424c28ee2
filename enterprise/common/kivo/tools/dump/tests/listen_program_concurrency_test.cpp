// Runs kivo_dump's listening over the IPC client library, against the scripted view manager
// served in the test program's own process (in_process_dump_main.cpp), for both interface
// versions: records printed by the library's threads while the main thread waits, and each way
// that listening ends.

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/common/time/time_format.h"
#include "enterprise/common/kivo/tools/dump/object_reader.h"
#include "enterprise/common/kivo/tools/dump/report.h"
#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"
#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"

namespace {

using KivoDumpTest::ChildProgram;
using KivoDumpTest::MachineKey;
using KivoDumpTest::MachineObject;

constexpr std::chrono::seconds kBound{30};

// The test program listening to `scenario` of the view manager of interface `version`.
std::string Listener(const std::string& scenario, const std::string& version) {
    return std::string(KIVO_DUMP_IN_PROCESS_PROGRAM) + " " + scenario + " " + version +
           " localhost u p QOR Machine";
}

// The records of `output`, each with its empty line; a rest that is no whole record comes last.
std::vector<std::string> Records(const std::string& output) {
    std::vector<std::string> records;
    for (size_t begin = 0, end; begin < output.size(); begin = end) {
        end = output.find("\n\n", begin);
        end = end == std::string::npos ? output.size() : end + 2;
        records.push_back(output.substr(begin, end - begin));
    }
    return records;
}

// Holds once three records were read whole.
bool ThreeRecords(const std::string& output) {
    return Records(output).size() >= 3 && output.ends_with("\n\n");
}

// The time attribute of a record's header.
std::string TimeOf(const std::string& record) {
    const std::string attribute = " time=\"";
    const size_t begin = record.find(attribute);
    const size_t end = record.find("\">\n", begin);
    return end == std::string::npos
               ? ""
               : record.substr(begin + attribute.size(), end - begin - attribute.size());
}

class ListenProgram : public ::testing::TestWithParam<const char*> {};

TEST_P(ListenProgram, MatchingObjectsPrintAsCreatedAndEveryWayOfEndingExitsWithZero) {
    const std::function<void(ChildProgram&)> endings[] = {
        [](ChildProgram& program) { program.Write("\n"); },
        [](ChildProgram& program) { program.CloseInput(); },
        [](ChildProgram& program) { program.Signal(SIGINT); },
        [](ChildProgram& program) { program.Signal(SIGTERM); },
    };
    for (const auto& end : endings) {
        ChildProgram program(Listener("matching", GetParam()));
        ASSERT_TRUE(program.ReadUntil(ThreeRecords, kBound)) << program.Output();
        end(program);
        EXPECT_EQ(program.Finish(kBound), 0) << program.Output();
        const std::vector<std::string> records = Records(program.Output());
        ASSERT_EQ(records.size(), 3u) << program.Output();
        for (uint32_t n = 1; n <= 3; ++n)
            EXPECT_EQ(records[n - 1],
                      KivoDump::FormatCreatedRecord(MachineObject(n), TimeOf(records[n - 1])));
    }
}

TEST_P(ListenProgram, ChangesPrintTheirRecordsWithTheLocalTimeOfTheEnvironmentsLocale) {
    const Common::DateTime before = Common::DateTime::Now(Common::DateTimeKind::Local);
    ChildProgram program("env LC_ALL=de_DE.UTF-8 " + Listener("changes", GetParam()));
    ASSERT_TRUE(program.ReadUntil(ThreeRecords, kBound)) << program.Output();
    program.Write("x");
    EXPECT_EQ(program.Finish(kBound), 0) << program.Output();
    const std::vector<std::string> records = Records(program.Output());
    ASSERT_EQ(records.size(), 3u) << program.Output();
    EXPECT_EQ(records[0], KivoDump::FormatCreatedRecord(MachineObject(4), TimeOf(records[0])));
    EXPECT_EQ(records[1], KivoDump::FormatUpdatedRecord(MachineKey(1), KivoDumpTest::MachineDiff(1),
                                                        TimeOf(records[1])));
    EXPECT_EQ(records[2], KivoDump::FormatDeletedRecord(MachineKey(2), TimeOf(records[2])));

    const Common::TimeFormatWin german(Common::TimeFormatWin::kShortDate,
                                       Common::TimeFormatWin::kDateAndTime, "de_DE.UTF-8");
    for (const std::string& record : records) {
        Common::DateTime time = Common::DateTime::Invalid(Common::DateTimeKind::Local);
        ASSERT_TRUE(german.Parse(Common::ToUtf16(TimeOf(record)), time)) << record;
        EXPECT_GE(time.seconds, before.seconds - 1);
        EXPECT_LE(time.seconds, Common::DateTime::Now(Common::DateTimeKind::Local).seconds);
    }
}

// With standard input held open, a service that fails its reads (even with a cancel that the tool
// did not ask for) ends listening by itself; records printed stay printed.
TEST_P(ListenProgram, AServiceThatFailsItsReadsEndsListeningWithCodeSeven) {
    for (const auto& [scenario, records, reason] :
         {std::tuple{"failing", 1u, "error 0x9c0777: "}, {"canceled", 0u, "error 0xf90002: "}}) {
        ChildProgram program(Listener(scenario, GetParam()));
        EXPECT_EQ(program.Finish(kBound), 7) << scenario << program.Output();
        const std::string& output = program.Output();
        EXPECT_EQ(Records(output).size(), records + 1) << output;
        EXPECT_NE(output.find("Error 0x7: Subscription has ended with error.\n"), std::string::npos)
            << output;
        EXPECT_NE(output.find(reason), std::string::npos) << output;
    }
}

TEST_P(ListenProgram, StandardOutputThatCannotBeWrittenEndsListeningWithCodeEleven) {
    ChildProgram program(Listener("matching", GetParam()) + " 2>/dev/null");
    program.CloseOutput();
    EXPECT_EQ(program.Finish(kBound), 11);
}

INSTANTIATE_TEST_SUITE_P(InterfaceVersions, ListenProgram, ::testing::Values("1", "2"));

// Standard input closed (no descriptor 0 at all) ends listening at once; "report" reports instead.
TEST(ListenProgram, AClosedStandardInputEndsListeningAtOnceAndReportReportsInstead) {
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer's runtime takes descriptor 0 before main.
    ChildProgram closed(Listener("matching", "2") + " <&-");
    EXPECT_EQ(closed.Finish(kBound), 0);
    EXPECT_EQ(Records(closed.Output()).size(), 3u) << closed.Output();
#endif

    ChildProgram report(Listener("matching", "2") + " report");
    EXPECT_EQ(report.Finish(kBound), 0);
    EXPECT_EQ(report.Output(), KivoDump::FormatObjectRecord(MachineObject(1)) +
                                   KivoDump::FormatObjectRecord(MachineObject(2)) +
                                   KivoDump::FormatObjectRecord(MachineObject(3)));
}

}  // namespace
