// SPDX-License-Identifier: ISC
// Wire header, reply judging and elapsed-time arithmetic.

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "forwarder/settings.h"
#include "protocol/exchange.h"

namespace {

TEST(PacketHeader, GatewayIdMostSignificantByteFirst)
{
    packet_header h{};
    h.version = PROTOCOL_VERSION;
    h.token[0] = 0xab;
    h.token[1] = 0x07;
    h.identifier = PULL_DATA;
    h.gateway_eui = 0x0123456789ABCDEFull;
    std::uint8_t out[HEADER_SIZE + 1];
    std::memset(out, 0xee, sizeof out);
    write_packet_header(out, h);
    const std::uint8_t want[HEADER_SIZE] = {0x01, 0xab, 0x07, 0x02, 0x01, 0x23,
                                            0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(std::memcmp(out, want, HEADER_SIZE), 0);
    EXPECT_EQ(out[HEADER_SIZE], 0xee);
}

TEST(PacketHeader, TokenFromTwoUnseededRandCalls)
{
    // An unseeded generator behaves as if seeded with 1.
    std::srand(1);
    int first = std::rand() & 0xff;
    int second = std::rand() & 0xff;
    int third = std::rand() & 0xff;
    int fourth = std::rand() & 0xff;

    gateway_eui = 0xfeedull;
    std::srand(1);
    packet_header a = make_packet_header(PUSH_DATA);
    packet_header b = make_packet_header(PULL_DATA);
    EXPECT_EQ(a.version, 1);
    EXPECT_EQ(a.identifier, PUSH_DATA);
    EXPECT_EQ(b.identifier, PULL_DATA);
    EXPECT_EQ(a.token[0], first);
    EXPECT_EQ(a.token[1], second);
    EXPECT_EQ(b.token[0], third);
    EXPECT_EQ(b.token[1], fourth);
    EXPECT_EQ(a.gateway_eui, 0xfeedull);
    gateway_eui = 0;
}

TEST(JudgeAck, PrefixRules)
{
    struct {
        std::uint8_t bytes[6];
        std::size_t len;
        ack_verdict want;
    } cases[] = {
        {{1, 0x12, 0x34, 1}, 4, ack_verdict::accepted},
        {{1, 0x12, 0x34, 1, 9, 9}, 6, ack_verdict::accepted},  // the rest is ignored
        {{1, 0x12, 0x35, 1}, 4, ack_verdict::out_of_sync},
        {{1, 0x34, 0x12, 1}, 4, ack_verdict::out_of_sync},     // bytes swapped
        {{1, 0x12, 0x34, 1}, 3, ack_verdict::invalid},         // too short, even if it looks right
        {{0}, 0, ack_verdict::invalid},                        // empty datagram
        {{2, 0x12, 0x34, 1}, 4, ack_verdict::invalid},         // version 2
        {{1, 0x12, 0x34, 4}, 4, ack_verdict::invalid},         // a PULL_ACK is no PUSH_ACK
        {{1, 0x12, 0x34, 0}, 4, ack_verdict::invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(judge_ack(c.bytes, c.len, PUSH_ACK, 0x12, 0x34), c.want)
            << "length " << c.len << " bytes " << int(c.bytes[0]) << " " << int(c.bytes[1]) << " "
            << int(c.bytes[2]) << " " << int(c.bytes[3]);

    // Tokens are compared by their low 8 bits.
    const std::uint8_t ack[4] = {1, 0x12, 0x34, 1};
    EXPECT_EQ(judge_ack(ack, 4, PUSH_ACK, 0x7f12, 0x134), ack_verdict::accepted);
}

TEST(ElapsedSeconds, BorrowsAcrossTheSecond)
{
    struct {
        timespec earlier, later;
        double want;
    } cases[] = {
        {{10, 0}, {10, 50000000}, 0.05},
        {{10, 900000000}, {11, 100000000}, 0.2},
        {{10, 999999999}, {15, 0}, 4.000000001},
        {{100, 0}, {100, 0}, 0.0},
    };
    for (const auto &c : cases)
        EXPECT_NEAR(elapsed_seconds(c.earlier, c.later), c.want, 1e-12);
    // Truncated to whole milliseconds as the ack log lines print them.
    EXPECT_EQ(static_cast<int>(elapsed_seconds({0, 0}, {0, 37999999}) * 1000.0), 37);
}

} // namespace
