// The frames of the service protocol: headers that break it, frames cut at every byte, payload
// memory that grows only with what arrives, malformed first frames, and a framed socket whose
// peer has gone.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>

#include "platform/wire/framed_socket.h"

namespace {

using namespace KivoWire;

std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(WireTest, HeadersThatBreakTheProtocolAreRefusedBeforeTheirPayload) {
    const std::vector<uint8_t> good = EncodeFrame(FrameKind::Call, 271, 3, 9, Bytes("x"));
    const struct {
        size_t offset;
        uint8_t value;
    } faults[] = {{0, 'k'}, {4, 2}, {6, 0}, {6, 11}, {11, 0x04}, {11, 0xFF}, {20, 1}};
    for (const auto& [offset, value] : faults) {
        std::vector<uint8_t> frame = good;
        frame[offset] = value;
        FrameReader reader;
        EXPECT_EQ(kBadFrame, reader.Feed(frame).Code()) << offset;
        EXPECT_EQ(kBadFrame, reader.Feed(good).Code()) << "the reader takes nothing more";
    }
}

TEST(WireTest, FramesCutAnywhereComeOutWholeAndInOrder) {
    std::vector<uint8_t> stream = EncodeFrame(FrameKind::Hello, 0, 0, 0, HelloPayload(33));
    const std::vector<uint8_t> call =
        EncodeFrame(FrameKind::Call, 271, 7, 1ull << 40, Bytes("packet"));
    stream.insert(stream.end(), call.begin(), call.end());
    for (size_t piece : {size_t{1}, size_t{5}, size_t{31}, size_t{33}, stream.size()}) {
        FrameReader reader;
        for (size_t at = 0; at < stream.size(); at += piece)
            ASSERT_TRUE(
                reader.Feed(std::span(stream).subspan(at, std::min(piece, stream.size() - at)))
                    .IsEmpty());
        Frame hello, second, none;
        ASSERT_TRUE(reader.Next(hello) && reader.Next(second));
        EXPECT_FALSE(reader.Next(none) || reader.InsideFrame());
        uint32_t service = 0;
        EXPECT_TRUE(ReadHello(hello.payload, service).IsEmpty());
        EXPECT_EQ(33u, service);
        EXPECT_EQ(call, EncodeFrame(second.header.kind, second.header.componentId,
                                    second.header.methodId, second.header.callId, second.payload));
    }
}

TEST(WireTest, ALargeAnnouncedFrameHoldsOnlyWhatArrived) {
    std::vector<uint8_t> header = EncodeFrame(FrameKind::Reply, 0, 0, 1, {});
    header[8] = 0;
    header[11] = 0x04;  // 64 MiB exactly: allowed
    header.insert(header.end(), 10, 'z');
    FrameReader reader;
    ASSERT_TRUE(reader.Feed(header).IsEmpty());
    Frame frame;
    EXPECT_FALSE(reader.Next(frame));
    EXPECT_TRUE(reader.InsideFrame());
}

TEST(WireTest, MalformedFirstFramesAndErrorsRoundTrip) {
    uint32_t service = 0;
    std::vector<ComponentVersion> components;
    EXPECT_EQ(kBadFrame, ReadHello(Bytes("abc"), service).Code());
    EXPECT_EQ(kBadFrame, ReadWelcome(Bytes("\x41\0\0\0"), components).Code());  // 65 components
    EXPECT_EQ(kBadFrame,
              ReadWelcome(Bytes(std::string("\x01\0\0\0\x0f\x01\0\0", 8)), components).Code());
    const ComponentVersion offered[] = {{271, 2}, {274, 1}};
    ASSERT_TRUE(ReadWelcome(WelcomePayload(offered), components).IsEmpty());
    ASSERT_EQ(2u, components.size());
    EXPECT_EQ(274u, components[1].componentId);
    const Common::Error refused(COMMON_PLACE("WireTest"), 0xAE0004, "no component 9");
    EXPECT_EQ(u"no component 9", ReadError(ErrorPayload(refused)).Message());
    EXPECT_NE(0u, ReadError(Bytes("junk")).Code());
}

// Credentials are bounded on both sides: at each bound a name or password is taken, past it (or
// empty) refused, and whatever is taken reads back as it was written.
TEST(WireTest, CredentialsWithinTheirBoundsRoundTrip) {
    const std::string name(kMaxUserBytes, 'u'), password(kMaxPasswordBytes, 'p');
    const struct {
        std::string user, password;
        bool taken;
    } cases[] = {{name, password, true}, {"u", "p", true},         {"", "p", false},
                 {"u", "", false},       {name + "u", "p", false}, {"u", password + "p", false}};
    for (const auto& c : cases) {
        std::vector<uint8_t> payload;
        ASSERT_EQ(c.taken, CredentialsPayload(c.user, c.password, payload).IsEmpty()) << c.user;
        std::string user, secret;
        if (c.taken) {
            ASSERT_TRUE(ReadCredentials(payload, user, secret).IsEmpty());
            EXPECT_EQ(c.user + "/" + c.password, user + "/" + secret);
        }
    }
}

TEST(WireTest, AFramedSocketSeesItsPeerGoWithoutASignal) {
    int pair[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair));
    FramedSocket near(pair[0]);
    {
        FramedSocket far(pair[1]);
        far.Queue(EncodeFrame(FrameKind::Ping, 0, 0, 5, {}));
        Common::Error failure;
        ASSERT_EQ(FramedSocket::Status::Open, far.Flush(failure));
    }
    std::vector<Frame> frames;
    Common::Error failure;
    EXPECT_EQ(FramedSocket::Status::Closed, near.ReadAvailable(frames, failure));
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(5u, frames[0].header.callId);
    near.Queue(EncodeFrame(FrameKind::Pong, 0, 0, 5, {}));
    EXPECT_EQ(FramedSocket::Status::Failed, near.Flush(failure));  // EPIPE, and no SIGPIPE
    EXPECT_EQ(kSocketFailure, failure.Code());
}

}  // namespace
