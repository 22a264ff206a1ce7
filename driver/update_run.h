// The update run: banner, one search for the bootloader, the programming pass
// over the built-in image, the closing messages and the hold.
#pragma once

#include <cstdint>

#include "common/types.h"

// Size of the device program memory that the programming pass walks.
constexpr device_address CODE_SIZE = 0x40000;
// Image bytes per block report.
constexpr std::int32_t BLOCK_SIZE = 1024;
// Address and zero bytes ahead of the image bytes in a block report.
constexpr std::int32_t BLOCK_HEADER_SIZE = 64;
constexpr std::int32_t BLOCK_REPORT_SIZE = BLOCK_HEADER_SIZE + BLOCK_SIZE;

// Write time-outs: the first report may take the bootloader longer.
constexpr double FIRST_BLOCK_TIMEOUT_SECONDS = 3.0;
constexpr double BLOCK_TIMEOUT_SECONDS = 0.25;

// Fills report (BLOCK_REPORT_SIZE bytes) with the block report for address:
// the address as 24 bits little-endian, zero bytes up to the image bytes,
// then the image bytes of the block.
void build_block_report(device_address address, unsigned char *report);

// The program's whole job. Returns exit status 0 after a successful update;
// every failure ends the process from inside with exit status 1.
int run_update();
