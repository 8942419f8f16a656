// SPDX-License-Identifier: ISC
// The uplink report: one received frame as an rxpk record.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "codec/base64.h"
#include "forwarder/debug_log.h"
#include "forwarder/fatal.h"
#include "forwarder/settings.h"
#include "protocol/exchange.h"
#include "protocol/jobs.h"

static constexpr const char *DATA_PATH = "/var/iot/data";
static constexpr std::size_t PAYLOAD_BUFFER_SIZE = 1984;
static constexpr std::size_t RXPK_DATAGRAM_SIZE = 2048;
static constexpr std::size_t RXPK_RECORD_SIZE = RXPK_DATAGRAM_SIZE - HEADER_SIZE;
static constexpr int MAX_FRAME_SIZE = 255; // the largest LoRa frame

static constexpr char DATA_OPENING[] = ",\"data\":\"";
static constexpr char RECORD_CLOSING[] = "\"}]}";
static constexpr std::size_t DATA_OPENING_LEN = sizeof DATA_OPENING - 1;
static constexpr std::size_t RECORD_CLOSING_LEN = sizeof RECORD_CLOSING - 1;
static_assert(DATA_OPENING_LEN == 9 && RECORD_CLOSING_LEN == 4);

// The room b64_encode asks for to pad the text of an n-byte payload: the
// text, its padding, the NUL and the one spare byte the padding rule wants.
static constexpr int padded_capacity(int n)
{
    int text = n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1);
    return text + (text % 4 == 2 ? 4 : text % 4 == 3 ? 3 : 1);
}

static constexpr int max_padded_capacity(int max_n)
{
    int cap = 0;
    for (int n = 0; n <= max_n; n++)
        cap = padded_capacity(n) > cap ? padded_capacity(n) : cap;
    return cap;
}

// Every frame of 0 to 255 bytes goes out whole.
static constexpr int DATA_TEXT_CAPACITY = max_padded_capacity(MAX_FRAME_SIZE);
static_assert(DATA_TEXT_CAPACITY == 342);
static_assert(padded_capacity(255) == 341 && padded_capacity(253) == 342);

static std::uint8_t rxpk_datagram[RXPK_DATAGRAM_SIZE];

// The two formatted pieces hold at most about 250 characters, so the base64
// text, its capacity and the closing text always fit the record area.
static_assert(250 + DATA_OPENING_LEN + DATA_TEXT_CAPACITY + RECORD_CLOSING_LEN < RXPK_RECORD_SIZE);

void forward_rxpk(int rssi, int size)
{
    packet_header header = make_packet_header(gw_settings.protocol_version, PUSH_DATA, gateway_eui);
    write_packet_header(rxpk_datagram, header);

    timeval now{};
    gettimeofday(&now, nullptr);
    std::uint32_t tmst = static_cast<std::uint32_t>(now.tv_sec) * 1000000u + static_cast<std::uint32_t>(now.tv_usec);

    // Opened for reading and writing and created when missing, as the radio
    // side expects; a payload that can be read but not written (a read-only
    // /var/iot) is still forwarded. Never blocking: a FIFO or a terminal left
    // at the path must not hang the run. Never through a symbolic link: /var/iot
    // may be writable by the radio side's user, and a link planted there must
    // neither send a root-only file to the server nor make this run create a
    // file anywhere else.
    constexpr int flags = O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;
    int fd = open(DATA_PATH, O_RDWR | O_CREAT | flags, 0666);
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = open(DATA_PATH, O_RDONLY | flags);
    // A link at the path is refused as any other file that is not a regular one.
    if (fd < 0 && errno != ELOOP)
        fatal_exit("can't open data file!");
    std::uint8_t payload[PAYLOAD_BUFFER_SIZE];
    struct stat st {};
    ssize_t got = -1;
    // Only a regular file holds a payload.
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        got = read(fd, payload, sizeof payload);
    if (got < 0)
        fatal_exit("can't read data file!");
    if (close(fd) != 0)
        log_debug(LOG_ERR, "can't close data file!");

    int payload_len = static_cast<int>(got);
    if (payload_len > MAX_FRAME_SIZE) {
        // A full buffer says only that the file holds at least that much.
        if (got == static_cast<ssize_t>(sizeof payload))
            fatal_exit("ERROR: [up] payload too long for a LoRa frame (at least %i bytes read, at most 255): not sent",
                       payload_len);
        fatal_exit("ERROR: [up] payload too long for a LoRa frame (%i bytes read, at most 255): not sent", payload_len);
    }

    char *record = reinterpret_cast<char *>(rxpk_datagram + HEADER_SIZE);
    // freq is in MHz with Hz precision, as the protocol defines the field.
    int n = std::snprintf(record, RXPK_RECORD_SIZE,
                          "{\"rxpk\":[{\"tmst\":%u,\"chan\": 0,\"rfch\": 0,\"freq\":%u.%06u,\"stat\":1,"
                          "\"modu\":\"LORA\",\"datr\":\"SF%sBW125\",\"codr\":\"4/%s\",\"lsnr\":9",
                          tmst, gw_settings.frequency / 1000000, gw_settings.frequency % 1000000, gw_settings.SF,
                          gw_settings.coderate);
    int m = std::snprintf(record + n, RXPK_RECORD_SIZE - static_cast<std::size_t>(n), ",\"rssi\":%d,\"size\":%u", rssi,
                          static_cast<unsigned>(size));
    char *data_text = record + n + m;
    std::memcpy(data_text, DATA_OPENING, DATA_OPENING_LEN);
    data_text += DATA_OPENING_LEN;
    int b = b64_encode(payload, payload_len, data_text, DATA_TEXT_CAPACITY);
    if (b < 0) {
        // Cannot happen for a frame of at most 255 bytes; never send a record
        // whose data is not the frame.
        fatal_exit("ERROR: [up] payload too long for a LoRa frame (%i bytes read, at most 255): not sent", payload_len);
    }
    std::memcpy(data_text + b, RECORD_CLOSING, RECORD_CLOSING_LEN + 1);

    log_debug(LOG_NOTICE, "rxpk: %s", record);
    std::size_t length = static_cast<std::size_t>(n + m + b) + HEADER_SIZE + DATA_OPENING_LEN + RECORD_CLOSING_LEN;
    push_and_wait_ack(server_addrs, rxpk_datagram, length, header.token[0], header.token[1]);

    // A frame whose first byte has its three lowest bits clear asks for a
    // downlink; an empty file has no first byte and asks for nothing. An
    // uplink-only gateway (option downlink '0') never asks.
    if (payload_len > 0 && (payload[0] & 7) == 0 && gw_settings.downlink_enabled)
        pull_downlink(&tmst);
}
