#include "request.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Request, RingWithAndWithoutNumber) {
    request r = parse_request("ring");
    EXPECT_EQ(r.kind, request_kind::ring);
    EXPECT_EQ(r.number, default_ring_number);
    r = parse_request("ring +4930123\r");
    EXPECT_EQ(r.kind, request_kind::ring);
    EXPECT_EQ(r.number, "+4930123");
}

TEST(Request, RingRejectsWhatWouldCorruptTheClipLine) {
    EXPECT_EQ(parse_request("ring 12\"3").kind, request_kind::invalid);
    EXPECT_EQ(parse_request("ring 1,2").kind, request_kind::invalid);
    EXPECT_EQ(parse_request("ring 1 2").kind, request_kind::invalid);
}

TEST(Request, UnplugChannelsAndDelay) {
    request r = parse_request("unplug both");
    EXPECT_EQ(r.kind, request_kind::unplug);
    EXPECT_TRUE(r.ctrl && r.audio);
    EXPECT_EQ(r.ms, default_unplug_ms);

    r = parse_request("  unplug\taudio 0 ");
    EXPECT_EQ(r.kind, request_kind::unplug);
    EXPECT_FALSE(r.ctrl);
    EXPECT_TRUE(r.audio);
    EXPECT_EQ(r.ms, 0);

    r = parse_request("unplug ctrl 1500");
    EXPECT_TRUE(r.ctrl && !r.audio);
    EXPECT_EQ(r.ms, 1500);
}

TEST(Request, MalformedLinesAreInvalid) {
    for (const char *line :
         {"", "   ", "RING", "status now", "hangup 1", "unplug", "unplug usb", "unplug ctrl -1",
          "unplug ctrl 10x", "unplug ctrl 99999999999", "unplug ctrl 1 2", "reboot"}) {
        EXPECT_EQ(parse_request(line).kind, request_kind::invalid) << '"' << line << '"';
    }
}

} // namespace
