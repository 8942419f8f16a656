// SPDX-License-Identifier: ISC
// Wire header, reply judging and elapsed-time arithmetic.

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "protocol/exchange.h"

namespace {

TEST(PacketHeader, GatewayIdMostSignificantByteFirst)
{
    packet_header h{};
    h.version = 1;
    h.token[0] = 0xab;
    h.token[1] = 0x07;
    h.identifier = PULL_DATA;
    h.gateway_eui = 0x0123456789ABCDEFull;
    std::uint8_t out[HEADER_SIZE + 1];
    std::memset(out, 0xee, sizeof out);
    write_packet_header(out, h);
    const std::uint8_t want[HEADER_SIZE] = {0x01, 0xab, 0x07, 0x02, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
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

    std::srand(1);
    packet_header a = make_packet_header(1, PUSH_DATA, 0xfeedull);
    packet_header b = make_packet_header(2, PULL_DATA, 0xfeedull);
    EXPECT_EQ(a.version, 1);
    EXPECT_EQ(b.version, 2);
    EXPECT_EQ(a.identifier, PUSH_DATA);
    EXPECT_EQ(b.identifier, PULL_DATA);
    EXPECT_EQ(a.token[0], first);
    EXPECT_EQ(a.token[1], second);
    EXPECT_EQ(b.token[0], third);
    EXPECT_EQ(b.token[1], fourth);
    EXPECT_EQ(a.gateway_eui, 0xfeedull);
}

TEST(JudgeAck, PrefixRules)
{
    struct {
        std::uint8_t bytes[6];
        std::size_t len;
        ack_verdict want;
    } cases[] = {
        {{1, 0x12, 0x34, 1}, 4, ack_verdict::accepted},
        {{1, 0x12, 0x34, 1, 9, 9}, 6, ack_verdict::accepted}, // the rest is ignored
        {{1, 0x12, 0x35, 1}, 4, ack_verdict::out_of_sync},
        {{1, 0x34, 0x12, 1}, 4, ack_verdict::out_of_sync},   // bytes swapped
        {{1, 0x12, 0x34, 1}, 3, ack_verdict::invalid},       // too short, even if it looks right
        {{0}, 0, ack_verdict::invalid},                      // empty datagram
        {{2, 0x12, 0x34, 1}, 4, ack_verdict::other_version}, // version 2: right but for the version
        {{2, 0x12, 0x35, 1}, 4, ack_verdict::invalid},       // version 2, another token
        {{3, 0x12, 0x34, 1}, 4, ack_verdict::invalid},       // no version of the protocol
        {{1, 0x12, 0x34, 4}, 4, ack_verdict::invalid},       // a PULL_ACK is no PUSH_ACK
        {{1, 0x12, 0x34, 0}, 4, ack_verdict::invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(judge_ack(c.bytes, c.len, 1, PUSH_ACK, 0x12, 0x34), c.want)
            << "length " << c.len << " bytes " << int(c.bytes[0]) << " " << int(c.bytes[1]) << " " << int(c.bytes[2])
            << " " << int(c.bytes[3]);

    // Tokens are compared by their low 8 bits.
    const std::uint8_t ack[4] = {1, 0x12, 0x34, 1};
    EXPECT_EQ(judge_ack(ack, 4, 1, PUSH_ACK, 0x7f12, 0x134), ack_verdict::accepted);
    // With protocol version 2 it is the version 1 acknowledgement that is
    // right but for its version.
    const std::uint8_t ack2[4] = {2, 0x12, 0x34, 1};
    EXPECT_EQ(judge_ack(ack2, 4, 2, PUSH_ACK, 0x12, 0x34), ack_verdict::accepted);
    EXPECT_EQ(judge_ack(ack, 4, 2, PUSH_ACK, 0x12, 0x34), ack_verdict::other_version);
}

TEST(ElapsedMs, CutTowardZeroAcrossTheSecond)
{
    struct {
        timespec earlier, later;
        int want;
    } cases[] = {
        {{10, 0}, {10, 50000000}, 50},
        {{10, 900000000}, {11, 100000000}, 200},
        {{10, 999999999}, {15, 0}, 4000},
        {{100, 0}, {100, 0}, 0},
        {{0, 0}, {0, 37999999}, 37},             // 37.999999 ms
        {{10, 500000000}, {11, 499999999}, 999}, // a borrow that must not round up
        {{11, 0}, {10, 500000001}, -499},        // backwards: toward zero as well
        {{11, 0}, {10, 0}, -1000},
        {{0, 0}, {2147483, 647000000}, 2147483647}, // the largest that fits an int
        {{0, 0}, {5000000, 0}, 2147483647},         // beyond it: held at the largest
    };
    for (const auto &c : cases)
        EXPECT_EQ(elapsed_ms(c.earlier, c.later), c.want)
            << c.earlier.tv_sec << "." << c.earlier.tv_nsec << " -> " << c.later.tv_sec << "." << c.later.tv_nsec;
}

} // namespace
