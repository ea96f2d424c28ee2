// The change records, and a subscription that cannot be made.

#include "enterprise/common/kivo/tools/dump/object_reader.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/common/text.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/kivo/tests/fake_post_office.h"
#include "enterprise/common/kivo/tools/dump/listen.h"
#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using KivoDumpTest::MachineDiff;
using KivoDumpTest::MachineKey;
using KivoDumpTest::MachineObject;
using Zaph::View::SharedUnitPtr;

TEST(ChangeRecord, TagsIndentationIdAndTimeOfEachKind) {
    // The whole object and its key name the same object.
    const std::string id = Common::ToUtf8(Kivo::GetKeyIdText(*MachineKey(1)));
    EXPECT_EQ(KivoDump::FormatCreatedRecord(MachineObject(1), "T"),
              "<created id=\"" + id +
                  "\" time=\"T\">\n"
                  "  Root (Composite)\n"
                  "    [Is (Common::String) = Machine]\n"
                  "    Key (Composite)\n"
                  "      [PrimaryKey (NIL)]\n"
                  "      Name (Common::String) = machine-1\n"
                  "</created>\n\n");
    EXPECT_EQ(KivoDump::FormatUpdatedRecord(MachineKey(1), MachineDiff(1), "12.03.25 10:00:00"),
              "<updated id=\"" + id +
                  "\" time=\"12.03.25 10:00:00\">\n"
                  "  <key>\n"
                  "    Root (Composite)\n"
                  "      [PrimaryKey (NIL)]\n"
                  "      Name (Common::String) = machine-1\n"
                  "  </key>\n"
                  "  <diff>\n"
                  "    Root (Composite)\n"
                  "      Port (unsigned long) = 8001\n"
                  "  </diff>\n"
                  "</updated>\n\n");
    EXPECT_NE(KivoDump::FormatUpdatedRecord(MachineKey(1), nullptr, "T")
                  .find("  <diff>\n  </diff>\n</updated>\n\n"),
              std::string::npos);
    EXPECT_EQ(KivoDump::FormatDeletedRecord(MachineKey(1), "T"),
              "<deleted id=\"" + id +
                  "\" time=\"T\">\n"
                  "  Root (Composite)\n"
                  "    [PrimaryKey (NIL)]\n"
                  "    Name (Common::String) = machine-1\n"
                  "</deleted>\n\n");
}

TEST(ChangeRecord, AChangeWithoutIdentityIsRefusedWhole) {
    const SharedUnitPtr keyless(ZaphTest::Composite(ZaphTest::Prop{"Name", ZaphTest::Str(u"x")}));
    const std::function<std::string()> refused[] = {
        [&] { return KivoDump::FormatCreatedRecord(keyless, "T"); },
        [] { return KivoDump::FormatCreatedRecord(nullptr, "T"); },
        [] { return KivoDump::FormatUpdatedRecord(nullptr, MachineDiff(1), "T"); },
        [] { return KivoDump::FormatDeletedRecord(nullptr, "T"); },
    };
    for (const auto& format : refused)
        EXPECT_EQ(ZaphTest::ErrorCodeOf(format), Kivo::kObjectIdentificationNotFound);
}

TEST(Listen, ASubscriptionThatFailsIsCodeSixWithTheFailureAsReason) {
    KivoTest::FakePostOffice postOffice;
    postOffice.result = Common::Error(COMMON_PLACE("KivoTest::Store"), 0xFC0007, "store broke");
    try {
        KivoDump::Listen(postOffice, Kivo::ViewSpec{MachineKey(1), nullptr});
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), KivoDump::kSubscribeWithoutReportFailed);
        EXPECT_EQ(error.Message(), u"SubscribeWithoutReport has failed.");
        EXPECT_STREQ(error.Place().function, "KivoDump::Listen");
        EXPECT_TRUE(Async::ChainContains(error.Reason(), 0xFC0007));
    }
    EXPECT_EQ(postOffice.lastEntryPoint.File, "enterprise/common/kivo/tools/dump/listen.cpp");
}

}  // namespace
