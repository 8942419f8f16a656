// SPDX-License-Identifier: ISC
// The downlink pull: PULL_DATA, a window of listening, and each valid
// PULL_RESP handed to the radio side: its transmit parameters in
// /var/iot/dltx, then its payload in /var/iot/dldata.

#include "protocol/downlink.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "codec/base64.h"
#include "forwarder/debug_log.h"
#include "forwarder/fatal.h"
#include "forwarder/settings.h"
#include "protocol/jobs.h"
#include "protocol/txpk.h"

static constexpr const char *IOT_DIR = "/var/iot";
static constexpr const char *DLDATA_PATH = "/var/iot/dldata";
static constexpr const char *DLTX_PATH = "/var/iot/dltx";
static constexpr const char *PULL_DATA_PATH = "/var/iot/pull_data";
static constexpr long PULL_TIMEOUT_US = 200000;
static constexpr std::size_t RECEIVE_BUFFER_SIZE = 2048;
static constexpr std::size_t SCRAPE_BUFFER_SIZE = 2048;
static constexpr std::size_t PATH_SIZE = 64;
static constexpr int MAX_FRAME_SIZE = 255; // the radio's length field has 8 bits
// What one run prints on standard output: the parser lines of the few
// replies a real server sends, and far less than a pipe holds (64 KiB), so
// that no server can block a caller that reads the output only after the
// run, nor fill a disk.
static constexpr std::size_t STDOUT_BUDGET = 8192;

// The temporary files this program writes next to the files it replaces,
// each named PREFIX.PID.
static constexpr const char *TEMP_PREFIXES[] = {".dldata.", ".dltx.", ".pull_data."};
// Entries of /var/iot looked at in a sweep for leftovers.
static constexpr int SWEEP_LIMIT = 1024;

static std::size_t stdout_used;

// Prints one "parser" line while the run's budget lasts; once a line does
// not fit, nothing more is printed, so the output is always whole lines.
static void print_parser_line(const char *key, const char *value)
{
    char line[SCRAPE_BUFFER_SIZE];
    int n = value ? std::snprintf(line, sizeof line, "parser %s: %s\n", key, value)
                  : std::snprintf(line, sizeof line, "parser %s\n", key);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line ||
        stdout_used + static_cast<std::size_t>(n) > STDOUT_BUDGET) {
        stdout_used = STDOUT_BUDGET;
        return;
    }
    stdout_used += static_cast<std::size_t>(n);
    std::fwrite(line, 1, static_cast<std::size_t>(n), stdout);
}

void scrape_json_field(const char *json, char *out, std::size_t out_size, const char *key)
{
    char text[SCRAPE_BUFFER_SIZE];
    std::size_t len = strnlen(json, sizeof text - 1);
    std::memcpy(text, json, len);
    text[len] = '\0';

    print_parser_line(key, nullptr);
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
    print_parser_line(key, out);
}

// Removes the temporary files of runs that were killed before they could
// rename or remove them (on a router /var is RAM): those named PREFIX.PID
// whose process no longer exists. Once a run; never follows a name out of
// /var/iot.
static void sweep_leftovers()
{
    static bool swept;
    if (swept)
        return;
    swept = true;
    DIR *dir = opendir(IOT_DIR);
    if (!dir)
        return;
    const dirent *e;
    for (int seen = 0; seen < SWEEP_LIMIT && (e = readdir(dir)) != nullptr; seen++) {
        for (const char *prefix : TEMP_PREFIXES) {
            std::size_t n = std::strlen(prefix);
            if (std::strncmp(e->d_name, prefix, n) != 0)
                continue;
            const char *digits = e->d_name + n;
            long pid = 0;
            const char *d = digits;
            for (; *d >= '0' && *d <= '9' && pid < 100000000; d++)
                pid = pid * 10 + (*d - '0');
            if (d == digits || *d != '\0' || pid <= 0 || pid == getpid())
                continue;
            if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                unlinkat(dirfd(dir), e->d_name, 0);
        }
    }
    closedir(dir);
}

// Replaces `path` with `len` bytes in one step: the bytes go to a file of
// this run's own in the same directory, which then takes the name. A reader
// sees the old file or the new one, never a part of either; runs that
// overlap never share a temporary file. Returns 0, or -1 when the file
// could not be opened (nothing changed) or -2 when writing it failed
// (nothing changed either).
static int replace_file(const char *path, const char *temp_prefix, const void *bytes, std::size_t len)
{
    sweep_leftovers();
    char temp[PATH_SIZE];
    std::snprintf(temp, sizeof temp, "%s/%s%ld", IOT_DIR, temp_prefix, static_cast<long>(getpid()));
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

downlink_reply take_downlink_reply(std::uint8_t *reply, std::size_t length, const std::uint8_t token[2],
                                   pull_texts &texts, int *payload_len)
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

    int n = b64_decode_checked(texts.data_text, static_cast<int>(std::strlen(texts.data_text)), texts.payload,
                               DOWNLINK_PAYLOAD_SIZE);
    if (n == B64_BAD_CHAR)
        return downlink_reply::bad_character;
    // A failed decode never matches: it writes nothing, whatever size says.
    if (n < 0 || n != std::atoi(texts.size_text))
        return downlink_reply::mismatch;
    *payload_len = n;
    return downlink_reply::downlink;
}

std::size_t build_tx_ack(std::uint8_t *out, const std::uint8_t token[2], std::uint64_t eui, const char *code)
{
    packet_header h{2, {token[0], token[1]}, TX_ACK, eui};
    write_packet_header(out, h);
    int n = std::snprintf(reinterpret_cast<char *>(out + HEADER_SIZE), 64 - HEADER_SIZE,
                          "{\"txpk_ack\":{\"error\":\"%s\"}}", code);
    return HEADER_SIZE + static_cast<std::size_t>(n);
}

// In version 2, the server learns what became of its PULL_RESP.
static void answer_pull_resp(const pull_session &s, const std::uint8_t *reply, const char *code)
{
    if (s.header.version != 2)
        return;
    std::uint8_t ack[64];
    std::size_t n = build_tx_ack(ack, reply + 1, s.header.gateway_eui, code);
    if (send(s.socket, ack, n, 0) == -1)
        log_debug(LOG_ERR, "ERROR: [down] TX_ACK not sent: %s", std::strerror(errno));
    else
        log_debug(LOG_INFO, "INFO: [down] TX_ACK sent: %s", code);
}

// The wall clock in microseconds, modulo 2^32: the clock of the rxpk's tmst.
static std::uint32_t now_us()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<std::uint32_t>(now.tv_sec) * 1000000u + static_cast<std::uint32_t>(now.tv_usec);
}

// /var/iot/dltx: the downlink's transmit parameters, one key=value a line.
static void write_dltx(const pull_session &s, const txpk_params &t, int size)
{
    char text[768];
    int n = std::snprintf(text, sizeof text, "data=%s\nsize=%i\nfreq=%u\ndatr=%s\nsf=%u\nbw=%u\ncodr=%s\n",
                          s.texts.data_text, size, t.freq_hz, t.datr, t.sf, t.bw, t.codr);
    if (t.has_powe)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "powe=%i\n", t.powe);
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "ipol=%i\nncrc=%i\nimme=%i\n", t.ipol,
                       t.ncrc, t.imme);
    if (t.has_tmst)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "tmst=%u\n", t.tmst);
    if (t.has_tmst && !t.imme && s.uplink_tmst)
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "delay_us=%u\n",
                           t.tmst - *s.uplink_tmst);
    int result = replace_file(DLTX_PATH, ".dltx.", text, static_cast<std::size_t>(n));
    if (result == -1)
        log_debug(LOG_INFO, "fail to open %s", DLTX_PATH);
    else if (result == -2)
        log_debug(LOG_INFO, "downlink message fail to write");
}

static void warn_too_long(int bytes)
{
    log_debug(LOG_WARNING,
              "WARNING: [down] downlink of %i bytes is longer than a LoRa frame (at most 255): not handed over", bytes);
}

// Hands a decoded downlink to the radio side. Returns the TX_ACK code.
static const char *hand_over(pull_session &s, const std::uint8_t *reply, std::size_t length, int payload_len)
{
    if (payload_len > MAX_FRAME_SIZE) {
        warn_too_long(payload_len);
        return "TX_FREQ";
    }
    txpk_params t;
    read_txpk(reinterpret_cast<const char *>(reply + REPLY_PREFIX_SIZE), length - REPLY_PREFIX_SIZE, &t);
    if (!txpk_is_lora(t)) {
        log_debug(LOG_WARNING, "WARNING: [down] txpk modulation %s is not LORA: not handed over", t.modu);
        return "TX_FREQ";
    }
    if (!t.imme && !t.has_tmst && t.has_tmms) {
        log_debug(LOG_WARNING,
                  "WARNING: [down] txpk gives only tmms (GPS time), which this gateway does not have: not handed over");
        return "GPS_UNLOCKED";
    }

    write_dltx(s, t, payload_len);
    int result = replace_file(DLDATA_PATH, ".dldata.", s.texts.payload, static_cast<std::size_t>(payload_len));
    if (result == -1) {
        log_debug(LOG_INFO, "fail to open %s", DLDATA_PATH);
        return "COLLISION_PACKET";
    }
    if (result == -2) {
        log_debug(LOG_INFO, "downlink message fail to write");
        return "COLLISION_PACKET";
    }
    s.downlinks++;
    // The moment is the uplink's tmst + delay_us, i.e. the txpk's tmst, on
    // the clock the rxpk's tmst came from.
    if (t.has_tmst && !t.imme && s.uplink_tmst) {
        auto late = static_cast<std::int32_t>(now_us() - t.tmst);
        if (late > 0) {
            log_debug(LOG_WARNING, "WARNING: [down] downlink handed over %i us after its moment",
                      static_cast<int>(late));
            return "TOO_LATE";
        }
    }
    return "NONE";
}

bool pull_start(pull_session &s, std::uint8_t version, const std::uint32_t *uplink_tmst, int *error)
{
    reset_pull_texts(s.texts);
    s.uplink_tmst = uplink_tmst;
    s.ack_ms = -1;
    s.other_version = 0;
    s.downlinks = 0;

    int connect_error = 0;
    s.socket = open_server_socket(server_addrs, &connect_error);
    if (s.socket < 0) {
        *error = errno;
        return false;
    }
    if (connect_error != 0)
        log_debug(LOG_ERR, "ERROR: [down] connect returned %s", std::strerror(connect_error));
    if (set_receive_timeout(s.socket, PULL_TIMEOUT_US) != 0)
        log_debug(LOG_ERR, "ERROR: [down] setsockopt returned %s", std::strerror(errno));

    s.header = make_packet_header(version, PULL_DATA, gateway_eui);
    std::uint8_t pull_data[HEADER_SIZE];
    write_packet_header(pull_data, s.header);

    // A copy for the radio side; a failure here is not worth a line.
    (void)replace_file(PULL_DATA_PATH, ".pull_data.", pull_data, sizeof pull_data);

    if (send(s.socket, pull_data, sizeof pull_data, 0) == -1) {
        *error = errno;
        return false;
    }
    clock_gettime(CLOCK_MONOTONIC, &s.start);
    return true;
}

void fatal_bad_character()
{
    fatal_exit("ERROR: [down] PULL_RESP data holds a character outside base64: the run ends");
}

bool pull_take(pull_session &s, std::uint8_t *reply, std::size_t length, const timespec &when)
{
    int payload_len = 0;
    downlink_reply kind = take_downlink_reply(reply, length, s.header.token, s.texts, &payload_len);
    if (kind == downlink_reply::ignored)
        return true;
    if (kind == downlink_reply::pull_ack || kind == downlink_reply::out_of_sync_ack) {
        // Version 1 never looked at an acknowledgement's version; version 2
        // counts only its own. A right one in the other version is noticed.
        if (reply[0] != s.header.version && kind == downlink_reply::pull_ack && (reply[0] == 1 || reply[0] == 2)) {
            s.other_version = reply[0];
            note_server_version(reply[0]);
        }
        if (s.header.version == 2 && reply[0] != 2)
            return true;
        if (kind == downlink_reply::out_of_sync_ack) {
            log_debug(LOG_INFO, "INFO: [down] received out-of-sync ACK");
            return true;
        }
        int ms = elapsed_ms(s.start, when);
        if (s.ack_ms < 0)
            s.ack_ms = ms;
        log_debug(LOG_INFO, "INFO: [down] PULL_ACK received in %i ms", ms);
        return true;
    }

    log_debug(LOG_INFO, "INFO: [down] PULL_RESP received :)");
    log_debug(LOG_INFO, "INFO: [down] PULL_RESP parser data: %s", s.texts.data_text);
    const char *code = "TX_FREQ";
    // A data text that fills its buffer was cut: its downlink is longer
    // than any LoRa frame, whatever the cut text decodes to.
    if (kind != downlink_reply::downlink && std::strlen(s.texts.data_text) == DATA_TEXT_SIZE - 1) {
        warn_too_long(std::atoi(s.texts.size_text));
        answer_pull_resp(s, reply, code);
        return true;
    }
    if (kind == downlink_reply::mismatch)
        log_debug(LOG_INFO, "WARNING: [down] mismatch between .size and .data size once converter to binary");
    else if (kind == downlink_reply::downlink)
        code = hand_over(s, reply, length, payload_len);
    answer_pull_resp(s, reply, code);
    return kind != downlink_reply::bad_character;
}

void pull_downlink(const std::uint32_t *uplink_tmst)
{
    pull_session s;
    int error = 0;
    if (!pull_start(s, gw_settings.protocol_version, uplink_tmst, &error)) {
        // Without a socket no PULL_DATA can go out: the same end as a failed send.
        if (s.socket < 0)
            fatal_exit("ERROR: [down] socket returned %s", std::strerror(error));
        log_debug(LOG_ERR, "[down]send Pull request error");
        fatal_exit_unless_logged("ERROR: [down] cannot send the PULL_DATA to the server: %s", std::strerror(error));
    }

    std::uint8_t reply[RECEIVE_BUFFER_SIZE];
    const int window_ms = gw_settings.pull_window_seconds * 1000;
    timespec last = s.start;
    // Each receive waits at most 200 ms: the window ends within that of its end.
    while (elapsed_ms(s.start, last) < window_ms) {
        ssize_t got = recv(s.socket, reply, sizeof reply - 1, 0);
        clock_gettime(CLOCK_MONOTONIC, &last);
        // A failed receive, the time-out included, is passed over.
        if (got >= 0 && !pull_take(s, reply, static_cast<std::size_t>(got), last))
            fatal_bad_character();
    }
}
