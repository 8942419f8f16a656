// SPDX-License-Identifier: ISC
// The datagram header, reply judging and the PUSH_DATA / PUSH_ACK exchange.

#include "protocol/exchange.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "forwarder/debug_log.h"
#include "forwarder/run.h"
#include "forwarder/settings.h"

static constexpr long PUSH_ACK_TIMEOUT_US = 50000;
static constexpr int PUSH_ACK_ATTEMPTS = 2;
static constexpr std::size_t ACK_BUFFER_SIZE = 32;

// The uplink exchange's socket, left open until the process ends.
static int up_socket = -1;

packet_header make_packet_header(std::uint8_t identifier)
{
    packet_header header{};
    header.version = PROTOCOL_VERSION;
    // Never seeded: every run draws the same sequence of tokens.
    header.token[0] = static_cast<std::uint8_t>(std::rand() & 0xff);
    header.token[1] = static_cast<std::uint8_t>(std::rand() & 0xff);
    header.identifier = identifier;
    header.gateway_eui = gateway_eui;
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

ack_verdict judge_ack(const std::uint8_t *reply, std::size_t length, std::uint8_t identifier,
                      int token1, int token2)
{
    if (length < REPLY_PREFIX_SIZE || reply[0] != PROTOCOL_VERSION || reply[3] != identifier)
        return ack_verdict::invalid;
    if (reply[1] != (token1 & 0xff) || reply[2] != (token2 & 0xff))
        return ack_verdict::out_of_sync;
    return ack_verdict::accepted;
}

double elapsed_seconds(const timespec &earlier, const timespec &later)
{
    auto seconds = static_cast<std::int32_t>(later.tv_sec - earlier.tv_sec);
    auto nanoseconds = static_cast<std::int32_t>(later.tv_nsec - earlier.tv_nsec);
    return seconds + nanoseconds * 1e-9;
}

int open_server_socket(int *connect_error)
{
    *connect_error = 0;
    for (const addrinfo *ai = server_addrs; ai; ai = ai->ai_next) {
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

void push_and_wait_ack(const std::uint8_t *datagram, std::size_t length, int token1, int token2)
{
    int connect_error = 0;
    up_socket = open_server_socket(&connect_error);
    if (up_socket < 0) {
        log_debug(LOG_ERR, "ERROR: [up] socket returned %s", std::strerror(errno));
        fatal_exit("[up]socket");
    }
    if (connect_error != 0)
        fatal_exit("[up]connect");
    if (set_receive_timeout(up_socket, PUSH_ACK_TIMEOUT_US) != 0) {
        log_debug(LOG_ERR, "ERROR: [up] setsockopt returned %s", std::strerror(errno));
        fatal_exit("[up]setsockopt");
    }
    if (send(up_socket, datagram, length, 0) == -1) {
        log_debug(LOG_ERR, "[up] sendudp error");
        fatal_exit("[up]sendto()");
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
        switch (judge_ack(reply, static_cast<std::size_t>(got), PUSH_ACK, token1, token2)) {
        case ack_verdict::accepted: {
            auto ms = static_cast<int>(elapsed_seconds(sent, received) * 1000.0);
            log_debug(LOG_INFO, "INFO: [up] PUSH_ACK received in %i ms", ms);
            return;
        }
        case ack_verdict::out_of_sync:
            log_debug(LOG_WARNING, "WARNING: [up] ignored out-of sync ACK packet");
            break;
        case ack_verdict::invalid:
            log_debug(LOG_WARNING, "WARNING: [up] ignored invalid non-ACL packet");
            break;
        }
    }
}
