// SPDX-License-Identifier: ISC
// The gateway status record.

#include <cstdio>
#include <ctime>
#include <syslog.h>

#include "forwarder/debug_log.h"
#include "forwarder/settings.h"
#include "protocol/exchange.h"
#include "protocol/jobs.h"

static constexpr std::size_t STAT_DATAGRAM_SIZE = 1024;
static constexpr std::size_t STAT_RECORD_SIZE = STAT_DATAGRAM_SIZE - HEADER_SIZE;
static constexpr std::size_t TIME_TEXT_SIZE = 24;

static std::uint8_t stat_datagram[STAT_DATAGRAM_SIZE];

void send_stat()
{
    packet_header header = make_packet_header(PUSH_DATA);
    write_packet_header(stat_datagram, header);

    char time_text[TIME_TEXT_SIZE] = "";
    std::time_t now = std::time(nullptr);
    if (const std::tm *utc = std::gmtime(&now))
        std::strftime(time_text, sizeof time_text, "%F %T %Z", utc);

    // The fixed text is about 200 characters and the three slot texts at most
    // 63 each: the record always fits its area.
    char *record = reinterpret_cast<char *>(stat_datagram + HEADER_SIZE);
    int len = std::snprintf(
        record, STAT_RECORD_SIZE,
        "{\"stat\":{\"time\":\"%s\",\"lati\":%.5f,\"long\":%.5f,\"alti\":%i,\"rxnb\":%u,"
        "\"rxok\":%u,\"rxfw\":%u,\"ackr\":%.1f,\"dwnb\":%u,\"txnb\":%u,\"pfrm\":\"%s\","
        "\"mail\":\"%s\",\"desc\":\"%s\"}}",
        time_text, static_cast<double>(gw_settings.latitude),
        static_cast<double>(gw_settings.longitude), 0, 0u, 0u, 0u, 0.0, 0u, 0u,
        gw_settings.platform, gw_settings.mail, gw_settings.desc);
    if (len < 0)
        len = 0;
    if (static_cast<std::size_t>(len) >= STAT_RECORD_SIZE)
        len = STAT_RECORD_SIZE - 1;
    record[len] = '\0';

    log_debug(LOG_INFO, "stat update: %s", record);
    push_and_wait_ack(stat_datagram, static_cast<std::size_t>(len) + HEADER_SIZE,
                      header.token[0], header.token[1]);
}
