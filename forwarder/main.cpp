// SPDX-License-Identifier: ISC
// tarnwick: forwards one received LoRa frame, or one status record, to the
// network server.

#include "forwarder/run.h"

int main(int argc, char **argv)
{
    return run_forwarder(argc, argv);
}
