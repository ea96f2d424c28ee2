#include "enterprise/common/kivo/tools/dump/report.h"

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "tests/support/fake_post_office.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace ZaphTest;
using Zaph::View::SharedUnitPtr;

SharedUnitPtr Machine(std::u16string_view name, uint64_t timeStamp) {
    UnitPtr key = WithTrait(
        Composite(Prop{"KivoTimeStamp", Factory().CreateQWord(timeStamp)}, Prop{"Name", Str(name)}),
        "PrimaryKey", Nil());
    return SharedUnitPtr(WithTrait(Composite(Prop{"Key", std::move(key)}), "Is", Str(u"Machine")));
}

SharedUnitPtr WithGuidKey() {
    Common::Guid guid;
    guid.Data1 = 0xDEADBEEF;
    return SharedUnitPtr(
        WithTrait(Composite(Prop{"Name", Str(u"beta")}), "PrimaryKey", Factory().CreateGuid(guid)));
}

// Runs the report over `postOffice` and returns what it printed.
std::string PrintedReport(KivoTestSupport::FakePostOffice& postOffice) {
    testing::internal::CaptureStdout();
    try {
        EXPECT_EQ(KivoDump::Report(postOffice, Kivo::ViewSpec{SharedUnitPtr(Nil()), nullptr}), 0);
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

TEST(ObjectRecordTest, IdLineBodyIndentedByTwoClosingTagAndEmptyLine) {
    const SharedUnitPtr object = Machine(u"alpha", 5);
    const std::string id = Common::ToUtf8(Kivo::GetObjectIdText(object));
    EXPECT_EQ(KivoDump::FormatObjectRecord(object),
              "<object id=\"" + id +
                  "\">\n"
                  "  Root (Composite)\n"
                  "    [Is (Common::String) = Machine]\n"
                  "    Key (Composite)\n"
                  "      [PrimaryKey (NIL)]\n"
                  "      KivoTimeStamp (unsigned __int64) = 5\n"
                  "      Name (Common::String) = alpha\n"
                  "</object>\n"
                  "\n");
    // Versions of the object print the same id; a GUID key prints its GUID.
    EXPECT_EQ(KivoDump::FormatObjectRecord(Machine(u"alpha", 99)).substr(0, 50),
              KivoDump::FormatObjectRecord(object).substr(0, 50));
    EXPECT_EQ(KivoDump::FormatObjectRecord(WithGuidKey()).substr(0, 50),
              "<object id=\"DEADBEEF-0000-0000-0000-000000000000\">");
}

TEST(ReportTest, RecordWithoutKeyIsLeftOutWholeAndTracedAndTheNextOneFollows) {
    KivoTestSupport::FakePostOffice postOffice;
    postOffice.objects = {SharedUnitPtr(Composite(Prop{"Name", Str(u"keyless")})), WithGuidKey()};
    KivoTestSupport::TraceRecorder traces;
    const std::string printed = PrintedReport(postOffice);
    EXPECT_EQ(printed, KivoDump::FormatObjectRecord(WithGuidKey()));
    EXPECT_EQ(printed.find("keyless"), std::string::npos);

    const auto traced = traces.Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].second.Code(), Kivo::Detail::kExceptionFromCallback);
    EXPECT_EQ(traced[0].second.Reason().Code(), Kivo::kObjectIdentificationNotFound);
    EXPECT_STREQ(postOffice.lastEntryPoint.File.c_str(),
                 "enterprise/common/kivo/tools/dump/report.cpp");
}

TEST(ReportTest, NothingFoundPrintsNothing) {
    KivoTestSupport::FakePostOffice postOffice;
    EXPECT_EQ(PrintedReport(postOffice), "");
}

TEST(ReportTest, FailureBecomesCodeFiveWithItsReasonAndPrintedRecordsStay) {
    KivoTestSupport::FakePostOffice postOffice;
    postOffice.objects = {WithGuidKey()};
    postOffice.result = Common::Error(COMMON_PLACE("KivoTest::Store"), 0xFC0007, "store broke");
    testing::internal::CaptureStdout();
    try {
        ADD_FAILURE() << "no error but the status "
                      << KivoDump::Report(postOffice,
                                          Kivo::ViewSpec{SharedUnitPtr(Nil()), nullptr});
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), KivoDump::kReportFailed);
        EXPECT_EQ(error.Message(), u"Report from data source has failed.");
        EXPECT_TRUE(Async::ChainContains(error.Reason(), 0xFC0007));
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), KivoDump::FormatObjectRecord(WithGuidKey()));
}

}  // namespace
