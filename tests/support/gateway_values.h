// SPDX-License-Identifier: ISC
#pragma once
// Values the system tests share: what the radio side passes to tarnwick and
// leaves in /var/iot, the gateway that lorawan_config() describes, and the
// log lines several tests look for, as log_lines() gives them
// ("priority: message").

#include "tests/fixtures/lorawan_frames.h"
#include "tests/support/server_stub.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

// argv[0] as the radio side passes it: the installed path, which the usage
// line and some debug lines show.
inline constexpr const char *INSTALLED_TARNWICK = "/usr/bin/tarnwick";

// The gateway of lorawan_config(): its gateway_id option, and the EUI the
// datagrams carry in bytes 4..11, most significant byte first.
inline constexpr const char *GATEWAY_ID = "a840411d2c3b4e5f";
inline constexpr std::uint64_t GATEWAY_EUI = 0xa840411d2c3b4e5full;

// The real uplink frame as /var/iot/data holds it; its first byte (0x40)
// starts a downlink pull.
inline const std::string UPLINK_PAYLOAD = to_text(UPLINK_FRAME);
// What /var/iot/dldata holds before a run: still there afterwards unless a
// valid downlink replaced it.
inline const std::string PREVIOUS_DOWNLINK = "previous downlink";

// The user a test that runs as root gives a run to (run_options::as_user),
// so that files left to root are out of the run's reach.
inline const std::pair<uid_t, gid_t> NOBODY = {65534, 65534};

// The line every run writes, for lorawan_config()'s radio settings.
inline const std::string LISTENING_LINE = "notice: Listening at SF7BW125 on 868.100000 Mhz.";
// The pull's lines for a PULL_ACK (a pattern: the delay varies), for any
// other reply of four bytes or more, and for a downlink whose data does not
// decode to its size.
inline const std::string PULL_ACK_LINE_PATTERN = R"(info: INFO: \[down\] PULL_ACK received in \d+ ms)";
inline const std::string PULL_RESP_LINE = "info: INFO: [down] PULL_RESP received :)";
inline const std::string MISMATCH_LINE =
    "info: WARNING: [down] mismatch between .size and .data size once converter to binary";
