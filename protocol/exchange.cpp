// SPDX-License-Identifier: ISC
// The datagram header, reply judging and the PUSH_DATA / PUSH_ACK exchange.

#include "protocol/exchange.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "forwarder/debug_log.h"
#include "forwarder/fatal.h"

static constexpr long PUSH_ACK_TIMEOUT_US = 50000;
static constexpr int PUSH_ACK_ATTEMPTS = 2;
static constexpr std::size_t ACK_BUFFER_SIZE = 32;

// The uplink exchange's socket, left open until the process ends.
static int up_socket = -1;

packet_header make_packet_header(std::uint8_t version, std::uint8_t identifier, std::uint64_t eui)
{
    packet_header header{};
    header.version = version;
    header.token[0] = static_cast<std::uint8_t>(std::rand() & 0xff);
    header.token[1] = static_cast<std::uint8_t>(std::rand() & 0xff);
    header.identifier = identifier;
    header.gateway_eui = eui;
    return header;
}

void write_packet_header(std::uint8_t *out, const packet_header &header)
{
    out[0] = header.version;
    out[1] = header.token[0];
    out[2] = header.token[1];
    out[3] = header.identifier;
    for (int i = 0; i < 8; i++)
        out[4 + i] = static_cast<std::uint8_t>(header.gateway_eui >> (56 - 8 * i));
}

ack_verdict judge_ack(const std::uint8_t *reply, std::size_t length, std::uint8_t version, std::uint8_t identifier,
                      int token1, int token2)
{
    if (length < REPLY_PREFIX_SIZE || reply[3] != identifier)
        return ack_verdict::invalid;
    bool ours = reply[1] == (token1 & 0xff) && reply[2] == (token2 & 0xff);
    if (reply[0] != version)
        return ours && (reply[0] == 1 || reply[0] == 2) ? ack_verdict::other_version : ack_verdict::invalid;
    return ours ? ack_verdict::accepted : ack_verdict::out_of_sync;
}

void note_server_version(std::uint8_t version)
{
    static bool noted;
    if (noted)
        return;
    noted = true;
    int v = version;
    log_always(LOG_NOTICE, "the server speaks protocol version %i; set option protocol '%i'", v, v);
}

int elapsed_ms(const timespec &earlier, const timespec &later)
{
    auto seconds = static_cast<std::int32_t>(later.tv_sec - earlier.tv_sec);
    auto nanoseconds = static_cast<std::int32_t>(later.tv_nsec - earlier.tv_nsec);
    // Nanoseconds in [0, 1e9) so that the division below rounds the right way.
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    }
    if (seconds >= INT_MAX / 1000)
        return INT_MAX;
    if (seconds < INT_MIN / 1000 + 1)
        return INT_MIN;
    // Toward zero: down for a positive time, up for a negative one.
    if (seconds >= 0)
        return seconds * 1000 + nanoseconds / 1000000;
    return seconds * 1000 + (nanoseconds + 999999) / 1000000;
}

int open_server_socket(const addrinfo *addrs, int *connect_error)
{
    *connect_error = 0;
    for (const addrinfo *ai = addrs; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
            *connect_error = errno;
        return fd;
    }
    return -1;
}

int set_receive_timeout(int fd, long microseconds)
{
    timeval timeout{};
    timeout.tv_sec = 0;
    timeout.tv_usec = microseconds;
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

void push_and_wait_ack(const addrinfo *addrs, const std::uint8_t *datagram, std::size_t length, int token1, int token2)
{
    int connect_error = 0;
    up_socket = open_server_socket(addrs, &connect_error);
    if (up_socket < 0)
        fatal_exit("ERROR: [up] socket returned %s", std::strerror(errno));
    // A datagram socket connects without a word to the server: only a local
    // reason (no route, a refused address) fails it, and the run ends.
    if (connect_error != 0)
        fatal_exit("ERROR: [up] connect returned %s", std::strerror(connect_error));
    if (set_receive_timeout(up_socket, PUSH_ACK_TIMEOUT_US) != 0)
        fatal_exit("ERROR: [up] setsockopt returned %s", std::strerror(errno));
    if (send(up_socket, datagram, length, 0) == -1) {
        int err = errno;
        log_debug(LOG_ERR, "[up] sendudp error");
        fatal_exit_unless_logged("ERROR: [up] cannot send to the server: %s", std::strerror(err));
    }

    timespec sent{};
    clock_gettime(CLOCK_MONOTONIC, &sent);

    for (int attempt = 0; attempt < PUSH_ACK_ATTEMPTS; attempt++) {
        std::uint8_t reply[ACK_BUFFER_SIZE];
        ssize_t got = recv(up_socket, reply, sizeof reply, 0);
        timespec received{};
        clock_gettime(CLOCK_MONOTONIC, &received);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            log_debug(LOG_ERR, "ERROR[up]: server connection error");
            return;
        }
        switch (judge_ack(reply, static_cast<std::size_t>(got), datagram[0], PUSH_ACK, token1, token2)) {
        case ack_verdict::accepted:
            log_debug(LOG_INFO, "INFO: [up] PUSH_ACK received in %i ms", elapsed_ms(sent, received));
            return;
        case ack_verdict::out_of_sync:
            log_debug(LOG_WARNING, "WARNING: [up] ignored out-of sync ACK packet");
            break;
        case ack_verdict::other_version:
            log_debug(LOG_WARNING, "WARNING: [up] ignored invalid non-ACL packet");
            note_server_version(reply[0]);
            break;
        case ack_verdict::invalid:
            log_debug(LOG_WARNING, "WARNING: [up] ignored invalid non-ACL packet");
            break;
        }
    }
}
