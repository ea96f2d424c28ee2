// The failure delays of logins, at explicit times: doubling per address up to the cap, forgotten
// after a quiet quarter of an hour, the oldest address pushed out of a full table, and off with a
// base of 0.

#include <gtest/gtest.h>

#include "platform/socket_server/failure_delays.h"

namespace {

using namespace std::chrono_literals;
using KivoServer::FailureDelays;

TEST(FailureDelays, GrowPerAddressUpToTheCapAndAreForgotten) {
    FailureDelays delays(250ms, 3);
    const struct {
        const char* address;
        int64_t second;  // of the failure
        int64_t delay;   // ms
    } steps[] = {
        {"a", 0, 0},         {"a", 1, 250},  {"a", 2, 500},  {"b", 2, 0},  // b counts apart
        {"a", 3, 1000},      {"a", 4, 2000}, {"a", 5, 4000}, {"a", 6, 8000},
        {"a", 7, 8000},                       // the cap
        {"b", 2 + 899, 250},                  // 14:59 after its last failure: still known
        {"a", 7 + 900, 0},                    // 15:00 after: forgotten
        {"c", 1000, 0},      {"d", 1001, 0},  // full (a, b, c): d pushes b out
        {"a", 1002, 250},    {"b", 1003, 0},  // a kept, b new again (c pushed out)
        {"d", 1004, 250},    {"c", 1005, 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.address) + " at " + std::to_string(step.second));
        const FailureDelays::Clock::time_point at{std::chrono::seconds(step.second)};
        EXPECT_EQ(std::chrono::milliseconds(step.delay), delays.Fail(step.address, at));
        EXPECT_GE(3u, delays.Size());
    }
    FailureDelays off(0ms);
    for (const int64_t second : {0, 1, 2})
        EXPECT_EQ(0ms,
                  off.Fail("a", FailureDelays::Clock::time_point{std::chrono::seconds(second)}));
}

}  // namespace
