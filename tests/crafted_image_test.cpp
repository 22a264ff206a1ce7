// The image store and the programming pass over a purpose-built image
// (tests/images/crafted.hex):
//   0x00000-0x0000F  present, all 0xFF           (block 0: sent all the same)
//   0x00400 block    nothing present             (skipped)
//   0x00800-0x0080F  present, all 0xFF           (skipped: blank)
//   0x00DF8-0x00E07  present 0xFF, but 0x00 at 0x00E00 (sent whole)
//   0x013FF = 0x12   the last byte of block 0x01000    (sent)
//   0x01400 = 0x34   the first byte of block 0x01400   (sent)
//   0x3AC00 = 0xA5, 0x3AFFF = 0x5A: the last block of the image (sent)
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "driver/update_run.h"
#include "image/image_store.h"
#include "support/recording_link.h"
#include "support/transcripts.h"

namespace {

std::vector<unsigned char> read(device_address address, std::int32_t count) {
  std::vector<unsigned char> out(static_cast<std::size_t>(count), 0);
  image_read(address, count, out.data());
  return out;
}

// A block of erased bytes with the given bytes set.
std::vector<unsigned char> erased_block_with(std::initializer_list<std::pair<int, unsigned char>> bytes) {
  std::vector<unsigned char> block(BLOCK_SIZE, ERASED_BYTE);
  for (const auto &[offset, value] : bytes)
    block[static_cast<std::size_t>(offset)] = value;
  return block;
}

TEST(CraftedImage, PresentErasedBytesHoldDataButAreBlank) {
  EXPECT_TRUE(image_range_has_data(0x800, 0xBFF));
  EXPECT_TRUE(image_block_is_blank(0x800, BLOCK_SIZE));
  EXPECT_FALSE(image_range_has_data(0x400, 0x7FF));
  EXPECT_TRUE(image_block_is_blank(0x400, BLOCK_SIZE));
  // One byte other than 0xFF among present 0xFF bytes is enough.
  EXPECT_FALSE(image_block_is_blank(0xC00, BLOCK_SIZE));
  EXPECT_TRUE(image_block_is_blank(0xC00, 0x200));
  EXPECT_FALSE(image_block_is_blank(0xE00, 1));
  // Data on the very first and last byte of a block.
  EXPECT_TRUE(image_range_has_data(0x13FF, 0x13FF));
  EXPECT_FALSE(image_range_has_data(0x1001, 0x13FE));
  EXPECT_FALSE(image_block_is_blank(0x1000, BLOCK_SIZE));
  EXPECT_FALSE(image_block_is_blank(0x1400, BLOCK_SIZE));
}

TEST(CraftedImage, TheLastAddressOfTheImageIsServedOnlyByRequestsEndingInside) {
  EXPECT_TRUE(image_range_has_data(0x3AC00, 0x3AFFF));
  EXPECT_FALSE(image_range_has_data(0x3AC00, 0x3B000));
  EXPECT_FALSE(image_block_is_blank(0x3AC00, BLOCK_SIZE)); // ends exactly at capacity
  EXPECT_TRUE(image_block_is_blank(0x3AC01, BLOCK_SIZE));
  EXPECT_EQ(read(0x3AFFF, 1), std::vector<unsigned char>{0x5A});
  EXPECT_EQ(read(0x3AFFF, 2), (std::vector<unsigned char>{ERASED_BYTE, ERASED_BYTE}));
  EXPECT_EQ(read(0x3AC00, BLOCK_SIZE), erased_block_with({{0, 0xA5}, {1023, 0x5A}}));
}

TEST(CraftedImageUpdate, SendsBlockZeroAndTheBlocksHoldingDataWholeWithErasedFill) {
  const RecordedRun run = run_update_recorded({});
  ASSERT_EQ(run.process.exit_status, 0) << run.process.err;
  EXPECT_EQ(run.process.out, success_output(5));

  const auto sends = run.of_kind(LinkEvent::SEND);
  ASSERT_EQ(sends.size(), 5u);
  const device_address addresses[] = {0x00000, 0x00C00, 0x01000, 0x01400, 0x3AC00};
  const std::vector<unsigned char> blocks[] = {
      erased_block_with({}),          erased_block_with({{0x200, 0x00}}),           erased_block_with({{1023, 0x12}}),
      erased_block_with({{0, 0x34}}), erased_block_with({{0, 0xA5}, {1023, 0x5A}}),
  };
  for (std::size_t n = 0; n < sends.size(); ++n) {
    const std::vector<std::uint8_t> &report = sends[n]->report;
    ASSERT_EQ(report.size(), 1088u);
    EXPECT_EQ(report[0] | report[1] << 8 | report[2] << 16, addresses[n]);
    EXPECT_TRUE(std::all_of(report.begin() + 3, report.begin() + 64, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::vector<unsigned char>(report.begin() + 64, report.end()), blocks[n]) << n;
    // Only the very first report gets the long time-out, also after a long
    // run of skipped blocks.
    EXPECT_EQ(sends[n]->timeout_seconds, n == 0 ? 3.0 : 0.25) << n;
  }
}

} // namespace
