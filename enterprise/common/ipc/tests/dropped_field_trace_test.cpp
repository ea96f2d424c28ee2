// A record field that does not read is passed over, and its error reaches the trace.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using Kivo::ViewManagement::TopicID;

TEST(DroppedFieldTrace, EachFieldThatDoesNotReadIsTracedAtLevelOne) {
    struct Case {
        const char* body;
        std::vector<std::string> traced;
    };
    const Case cases[] = {
        {"<id><Subscriber>4</Subscriber><Interest>9</Interest></id>", {}},
        {"<id><Subscriber>x</Subscriber><Interest>9</Interest></id>", {"error 1 9C0002"}},
        {"<id></id>", {"error 1 9C0002", "error 1 9C0002"}},
    };
    for (const Case& c : cases) {
        IpcTest::TraceRecorder recorder;
        Serialization::XMLPacketDeserializer in(IpcTest::PacketText(c.body), 0);
        TopicID id{1, 2};
        Kivo::ViewManagement::ReadValue(in, "id", id);
        EXPECT_EQ(recorder.Traced(), c.traced) << c.body;
    }
}

}  // namespace
