// SPDX-License-Identifier: ISC
#pragma once
// The jobs one run of tarnwick can do, started by the run sequence. They
// work on the run's settings, gateway identifier and server addresses.

#include <cstdint>

struct packet_header;

// Sends one gateway status record and waits for its acknowledgement.
void send_stat();

// Builds the status record's datagram (header and record) into `datagram`
// (at least 1024 bytes). Returns its length.
int build_stat_record(std::uint8_t *datagram, const packet_header &header);

// Forwards the frame in /var/iot/data with the signal strength and size that
// the radio side passed, then pulls a pending downlink when the frame's first
// byte asks for one.
void forward_rxpk(int rssi, int size);

// Asks the server for a pending downlink and listens for the pull window,
// handing each valid downlink to the radio side (/var/iot/dltx, then
// /var/iot/dldata). `uplink_tmst` is the tmst of the rxpk this run sent (the
// reference of each downlink's moment), or null.
void pull_downlink(const std::uint32_t *uplink_tmst);
