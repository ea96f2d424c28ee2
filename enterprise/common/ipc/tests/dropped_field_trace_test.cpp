// A record field that does not read is passed over, and its error reaches the trace.

#include <gtest/gtest.h>

#include <vector>

#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using Kivo::ViewManagement::TopicID;
using Serialization::kPacketInconsistent;

TEST(DroppedFieldTrace, EachFieldThatDoesNotReadIsTracedAtLevelOne) {
    struct Case {
        const char* body;
        std::vector<uint32_t> traced;
    };
    const Case cases[] = {
        {"<id><Subscriber>4</Subscriber><Interest>9</Interest></id>", {}},
        {"<id><Subscriber>x</Subscriber><Interest>9</Interest></id>", {kPacketInconsistent}},
        {"<id></id>", {kPacketInconsistent, kPacketInconsistent}},
    };
    for (const Case& c : cases) {
        IpcTest::TraceRecorder recorder;
        Serialization::XMLPacketDeserializer in(IpcTest::Text(IpcTest::Packet(c.body)), 0);
        TopicID id{1, 2};
        Kivo::ViewManagement::ReadValue(in, "id", id);
        EXPECT_EQ(recorder.ErrorCodes(1), c.traced) << c.body;
        EXPECT_TRUE(recorder.Assertions().empty()) << c.body;
    }
}

}  // namespace
