// SPDX-License-Identifier: ISC
#pragma once
// The jobs one run of tarnwick can do, started by the run sequence.

// Sends one gateway status record and waits for its acknowledgement.
void send_stat();

// Forwards the frame in /var/iot/data with the signal strength and size that
// the radio side passed, then pulls a pending downlink when the frame's first
// byte asks for one.
void forward_rxpk(int rssi, int size);

// Asks the server for a pending downlink and listens for five seconds,
// writing each valid downlink payload to /var/iot/dldata.
void pull_downlink();
