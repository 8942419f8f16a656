// SPDX-License-Identifier: ISC
// The gateway status record.

#include <cstdio>
#include <ctime>
#include <syslog.h>

#include "forwarder/debug_log.h"
#include "forwarder/settings.h"
#include "protocol/exchange.h"
#include "protocol/jobs.h"
#include "protocol/json.h"

static constexpr std::size_t STAT_DATAGRAM_SIZE = 1024;
static constexpr std::size_t STAT_RECORD_SIZE = STAT_DATAGRAM_SIZE - HEADER_SIZE;
static constexpr std::size_t TIME_TEXT_SIZE = 24;
// A slot text of 63 bytes escaped: at most 6 characters a byte.
static constexpr std::size_t ESCAPED_SLOT_SIZE = (SLOT_SIZE - 1) * 6 + 1;

static std::uint8_t stat_datagram[STAT_DATAGRAM_SIZE];

int build_stat_record(std::uint8_t *datagram, const packet_header &header)
{
    write_packet_header(datagram, header);

    char time_text[TIME_TEXT_SIZE] = "";
    std::time_t now = std::time(nullptr);
    if (const std::tm *utc = std::gmtime(&now))
        std::strftime(time_text, sizeof time_text, "%F %T %Z", utc);

    // The settings' free texts go into the record as JSON strings.
    char platform[ESCAPED_SLOT_SIZE];
    char mail[ESCAPED_SLOT_SIZE];
    char desc[ESCAPED_SLOT_SIZE];
    json_escape(platform, sizeof platform, gw_settings.platform);
    json_escape(mail, sizeof mail, gw_settings.mail);
    json_escape(desc, sizeof desc, gw_settings.desc);

    // The fixed text is about 200 characters, a position at most 46 and the
    // three escaped texts at most 378 each, but desc is always empty and the
    // platform text fixed: the record always fits its area.
    char *record = reinterpret_cast<char *>(datagram + HEADER_SIZE);
    int len = std::snprintf(record, STAT_RECORD_SIZE,
                            "{\"stat\":{\"time\":\"%s\",\"lati\":%.5f,\"long\":%.5f,\"alti\":0,\"rxnb\":0,"
                            "\"rxok\":0,\"rxfw\":0,\"ackr\":0.0,\"dwnb\":0,\"txnb\":0,\"pfrm\":\"%s\","
                            "\"mail\":\"%s\",\"desc\":\"%s\"}}",
                            time_text, gw_settings.latitude, gw_settings.longitude, platform, mail, desc);
    if (len < 0)
        len = 0;
    if (static_cast<std::size_t>(len) >= STAT_RECORD_SIZE)
        len = STAT_RECORD_SIZE - 1;
    record[len] = '\0';
    return len + static_cast<int>(HEADER_SIZE);
}

void send_stat()
{
    packet_header header = make_packet_header(gw_settings.protocol_version, PUSH_DATA, gateway_eui);
    int length = build_stat_record(stat_datagram, header);
    log_debug(LOG_INFO, "stat update: %s", reinterpret_cast<const char *>(stat_datagram + HEADER_SIZE));
    push_and_wait_ack(server_addrs, stat_datagram, static_cast<std::size_t>(length), header.token[0], header.token[1]);
}
