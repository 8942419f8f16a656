// SPDX-License-Identifier: ISC
// The downlink pull: PULL_DATA, five seconds of listening, and each valid
// PULL_RESP's payload written to /var/iot/dldata for the radio side.

#include "protocol/downlink.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "codec/base64.h"
#include "forwarder/debug_log.h"
#include "forwarder/run.h"
#include "forwarder/settings.h"
#include "protocol/exchange.h"
#include "protocol/jobs.h"

static constexpr const char *DLDATA_PATH = "/var/iot/dldata";
static constexpr const char *PULL_DATA_PATH = "/var/iot/pull_data";
static constexpr long PULL_TIMEOUT_US = 200000;
static constexpr int PULL_WINDOW_SECONDS = 5;
static constexpr std::size_t RECEIVE_BUFFER_SIZE = 2048;
static constexpr std::size_t SCRAPE_BUFFER_SIZE = 2048;
static constexpr std::size_t PATH_SIZE = 64;

// The pull's socket, left open until the process ends.
static int down_socket = -1;

void scrape_json_field(const char *json, char *out, std::size_t out_size, const char *key)
{
    char text[SCRAPE_BUFFER_SIZE];
    std::size_t len = strnlen(json, sizeof text - 1);
    std::memcpy(text, json, len);
    text[len] = '\0';

    std::printf("parser %s\n", key);
    const char *match = std::strstr(text, key);
    const char *colon = match ? std::strchr(match, ':') : nullptr;
    if (colon) {
        std::size_t n = 0;
        for (const char *p = colon; *p && *p != ',' && *p != '}'; ++p) {
            if (*p == ':' || *p == ' ' || *p == '"')
                continue;
            if (n + 1 >= out_size)
                break;
            out[n++] = *p;
        }
        out[n] = '\0';
    }
    std::printf("parser %s: %s\n", key, out);
}

// Replaces `path` with `len` bytes in one step: the bytes go to a file of
// this run's own in the same directory, which then takes the name. A reader
// sees the old file or the new one, never a part of either; runs that
// overlap never share a temporary file. Returns 0, or -1 when the file
// could not be opened (nothing changed) or -2 when writing it failed
// (nothing changed either).
static int replace_file(const char *path, const char *temp_prefix, const void *bytes,
                        std::size_t len)
{
    char temp[PATH_SIZE];
    std::snprintf(temp, sizeof temp, "%s.%ld", temp_prefix, static_cast<long>(getpid()));
    // A fresh file of our own: whatever sits at that name (a file a crashed
    // run left, a link someone planted) is removed, never written through.
    unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0)
        return -1;

    const auto *p = static_cast<const std::uint8_t *>(bytes);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bool written = done == len;
    if (close(fd) != 0)
        written = false;
    if (!written || std::rename(temp, path) != 0) {
        unlink(temp);
        return -2;
    }
    return 0;
}

void reset_pull_texts(pull_texts &texts)
{
    std::memset(&texts, 0, sizeof texts);
    texts.size_text[0] = '0';
}

downlink_reply take_downlink_reply(std::uint8_t *reply, std::size_t length,
                                   const std::uint8_t token[2], pull_texts &texts,
                                   int *payload_len)
{
    *payload_len = 0;
    if (length < REPLY_PREFIX_SIZE)
        return downlink_reply::ignored;
    if (reply[3] == PULL_ACK) {
        bool ours = reply[1] == token[0] && reply[2] == token[1];
        return ours ? downlink_reply::pull_ack : downlink_reply::out_of_sync_ack;
    }

    reply[length] = '\0';
    const char *json = reinterpret_cast<const char *>(reply + REPLY_PREFIX_SIZE);
    scrape_json_field(json, texts.size_text, SIZE_TEXT_SIZE, "size");
    scrape_json_field(json, texts.data_text, DATA_TEXT_SIZE, "data");

    int n = b64_decode_checked(texts.data_text, static_cast<int>(std::strlen(texts.data_text)),
                               texts.payload, DOWNLINK_PAYLOAD_SIZE);
    if (n == B64_BAD_CHAR)
        return downlink_reply::bad_character;
    // A failed decode never matches: it writes nothing, whatever size says.
    if (n < 0 || n != std::atoi(texts.size_text))
        return downlink_reply::mismatch;
    *payload_len = n;
    return downlink_reply::downlink;
}

static void write_downlink(const std::uint8_t *payload, int len)
{
    int result = replace_file(DLDATA_PATH, "/var/iot/.dldata", payload, static_cast<std::size_t>(len));
    if (result == -1)
        log_debug(LOG_INFO, "fail to open %s", DLDATA_PATH);
    else if (result == -2)
        log_debug(LOG_INFO, "downlink message fail to write");
}

void pull_downlink()
{
    pull_texts texts;
    reset_pull_texts(texts);
    std::uint8_t reply[RECEIVE_BUFFER_SIZE];

    int connect_error = 0;
    down_socket = open_server_socket(&connect_error);
    if (down_socket < 0) {
        // Without a socket no PULL_DATA can go out: the same end as a failed send.
        log_debug(LOG_ERR, "ERROR: [down] socket returned %s", std::strerror(errno));
        fatal_exit("ERRORS");
    }
    if (connect_error != 0)
        log_debug(LOG_ERR, "ERROR: [down] connect returned %s", std::strerror(connect_error));
    if (set_receive_timeout(down_socket, PULL_TIMEOUT_US) != 0)
        log_debug(LOG_ERR, "ERROR: [down] setsockopt returned %s", std::strerror(errno));

    packet_header header = make_packet_header(PULL_DATA);
    std::uint8_t pull_data[HEADER_SIZE];
    write_packet_header(pull_data, header);

    // A copy for the radio side; a failure here is not worth a line.
    (void)replace_file(PULL_DATA_PATH, "/var/iot/.pull_data", pull_data, sizeof pull_data);

    if (send(down_socket, pull_data, sizeof pull_data, 0) == -1) {
        log_debug(LOG_ERR, "[down]send Pull request error");
        fatal_exit("ERRORS");
    }

    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    timespec last = start;

    while (static_cast<int>(elapsed_seconds(start, last)) < PULL_WINDOW_SECONDS) {
        ssize_t got = recv(down_socket, reply, sizeof reply - 1, 0);
        clock_gettime(CLOCK_MONOTONIC, &last);
        // A failed receive, the time-out included, is passed over.
        if (got < 0)
            continue;

        int payload_len = 0;
        downlink_reply kind = take_downlink_reply(reply, static_cast<std::size_t>(got),
                                                  header.token, texts, &payload_len);
        switch (kind) {
        case downlink_reply::ignored:
            continue;
        case downlink_reply::pull_ack: {
            auto ms = static_cast<int>(elapsed_seconds(start, last) * 1000.0);
            log_debug(LOG_INFO, "INFO: [down] PULL_ACK received in %i ms", ms);
            continue;
        }
        case downlink_reply::out_of_sync_ack:
            log_debug(LOG_INFO, "INFO: [down] received out-of-sync ACK");
            continue;
        case downlink_reply::mismatch:
        case downlink_reply::bad_character:
        case downlink_reply::downlink:
            break;
        }

        log_debug(LOG_INFO, "INFO: [down] PULL_RESP received :)");
        log_debug(LOG_INFO, "INFO: [down] PULL_RESP parser data: %s", texts.data_text);
        if (kind == downlink_reply::bad_character)
            std::exit(1); // as the codec does on a character outside its alphabet
        if (kind == downlink_reply::mismatch) {
            log_debug(LOG_INFO,
                      "WARNING: [down] mismatch between .size and .data size once converter to binary");
            continue;
        }
        write_downlink(texts.payload, payload_len);
    }
}
