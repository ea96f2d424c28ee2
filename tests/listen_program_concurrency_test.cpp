// Runs kivo_dump's listening over the IPC client library, against the scripted view manager
// served in the test program's own process (in_process_dump_main.cpp): records printed by the
// library's threads while the main thread waits, each way that listening ends, and the password
// masked in the process list.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "core/common/text.h"
#include "core/common/time/time_format.h"
#include "tests/program_test_support.h"

namespace {

using KivoTestSupport::Action;

// The records of the scripted service, each with the time "T": the machines that matched (1 to
// 3), then the changes: machine 4 created, 1 updated (its port), 2 deleted.
std::string TheServicesRecords() {
    const std::string ids[] = {
        "3F7E9BF5-BDDF-7827-B624-53C3DE2BB92E", "E6931140-F4D0-DB4C-0CF7-012E4A74F2D3",
        "7690A7C8-3CB7-0B42-32A2-DE81002ED8AF", "14FC3CCA-19C5-06C4-FAE8-5CD4C750FE40"};
    std::string records;
    for (int n = 1; n <= 4; ++n)
        records += "<created id=\"" + ids[n - 1] +
                   "\" time=\"T\">\n  Root (Composite)\n    [Is (Common::String) = Machine]\n"
                   "    Key (Composite)\n      [PrimaryKey (NIL)]\n"
                   "      Name (Common::String) = machine-" +
                   std::to_string(n) + "\n</created>\n\n";
    return records + "<updated id=\"" + ids[0] +
           "\" time=\"T\">\n  <key>\n    Root (Composite)\n      [PrimaryKey (NIL)]\n"
           "      Name (Common::String) = machine-1\n  </key>\n  <diff>\n    Root (Composite)\n"
           "      Port (unsigned long) = 8001\n  </diff>\n</updated>\n\n<deleted id=\"" +
           ids[1] +
           "\" time=\"T\">\n  Root (Composite)\n    [PrimaryKey (NIL)]\n"
           "    Name (Common::String) = machine-2\n</deleted>\n\n";
}

// Runs in the German locale, standard input held open. Enter, the end of input, SIGINT and SIGTERM
// after the last record end listening with 0; a service whose reads fail (even with a cancel that
// the tool did not ask for) ends it by itself with 7 after the records, one that refuses the
// subscription with 6; a full standard output with 11; a closed standard input at once. "report"
// reports instead. While the tool runs, the process list shows its password as x's.
TEST(ListenProgram, EachRunPrintsWholeRecordsAndEndsWithItsStatus) {
    std::string cmdline;  // the arguments as the process list shows them, each ended by a 0 byte
    const Action enter = [&](pid_t program, int& input) {
        cmdline = KivoTestSupport::ReadFile("/proc/" + std::to_string(program) + "/cmdline");
        EXPECT_EQ(::write(input, "\n", 1), 1);
    };
    const Action endOfInput = [](pid_t, int& input) { ::close(std::exchange(input, -1)); };
    const Action interrupt = [](pid_t program, int&) { ::kill(program, SIGINT); };
    const Action terminate = [](pid_t program, int&) { ::kill(program, SIGTERM); };
    const std::string records = TheServicesRecords();
    const std::string ended = records + "Error 0x7: Subscription has ended with error.\n";
    const std::string qor = " localhost u p QOR Machine";
    const struct {
        std::string arguments;  // the service, the interface version, the tool's own
        Action act;             // once the last change was printed; none: wait for the end
        int status;
        std::string begin;   // of the output, times written "T"
        const char* reason;  // found in the output
    } cases[] = {
        {"works 1 localhost u s3cr3t QOR Machine", enter, 0, records, ""},
        {"works 2" + qor, endOfInput, 0, records, ""},
        {"works 2" + qor, interrupt, 0, records, ""},
        {"works 2" + qor, terminate, 0, records, ""},
        {"stops 2" + qor, {}, 7, ended, "error 0x9c0777: "},
        {"cancels 2" + qor, {}, 7, ended, "error 0xf90002: "},
        {"refuses 1" + qor, {}, 6, "Error 0x6: SubscribeWithoutReport has failed.\n", "0x9c0777"},
        {"works 2" + qor + " >/dev/full 2>/dev/null", {}, 11, "", ""},
        {"works 2" + qor + " report", {}, 0, "<object id=", ""},
#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer's runtime takes descriptor 0 before main.
        {"works 2" + qor + " <&-", {}, 0, "<created id=", ""},
#endif
    };
    const Common::TimeFormatWin german(Common::TimeFormatWin::kShortDate,
                                       Common::TimeFormatWin::kDateAndTime, "de_DE.UTF-8");
    for (const auto& run : cases) {
        const KivoTestSupport::Outcome outcome = KivoTestSupport::RunCommand(
            "exec env LC_ALL=de_DE.UTF-8 " + KivoTestSupport::ProgramPath("kivo_dump_in_process") +
                " " + run.arguments,
            run.act ? std::vector<KivoTestSupport::Step>{{"</deleted>\n\n", run.act}}
                    : std::vector<KivoTestSupport::Step>{},
            std::chrono::seconds(30));
        std::vector<std::string> times;
        const std::string output = KivoProgramTest::WithoutTimes(outcome.output, times);
        EXPECT_EQ(outcome.status, run.status) << run.arguments << "\n" << output;
        EXPECT_EQ(run.act ? output : output.substr(0, run.begin.size()), run.begin);
        EXPECT_NE(output.find(run.reason), std::string::npos) << output;
        Common::DateTime time = Common::DateTime::Invalid(Common::DateTimeKind::Local);
        for (const std::string& text : times)
            EXPECT_TRUE(german.Parse(Common::ToUtf16(text), time)) << text;
    }
    using namespace std::string_literals;
    EXPECT_NE(cmdline.find("localhost\0u\0xxxxxx\0QOR\0Machine\0"s), std::string::npos) << cmdline;
}

}  // namespace
