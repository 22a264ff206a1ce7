// The image store and the update run over the image the build embeds: the
// placeholder by default, or any firmware of the same layout (bytes present
// from 0x00000 to 0x3A18B, no blank block below it).
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "console/console.h"
#include "driver/update_run.h"
#include "image/image_store.h"
#include "support/recording_link.h"
#include "support/transcripts.h"

namespace {

constexpr device_address LAST_PRESENT = 0x3A18B;
constexpr int SHIPPED_BLOCKS = 233;

// The runs here go to a recording link, not a device: a placeholder build may
// write to it. The test of the refusal takes the permission away.
const int placeholder_allowed = setenv("KORVANE_ALLOW_PLACEHOLDER", "1", 1);

// image_read into a buffer with guard bytes on both sides, which must stay.
std::vector<unsigned char> read_guarded(device_address address, std::int32_t count, std::size_t room) {
  std::vector<unsigned char> buffer(room + 32, 0xA5);
  image_read(address, count, buffer.data() + 16);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(buffer[i], 0xA5) << "wrote before the buffer";
    EXPECT_EQ(buffer[16 + room + i], 0xA5) << "wrote past the buffer";
  }
  return {buffer.begin() + 16, buffer.begin() + 16 + static_cast<std::ptrdiff_t>(room)};
}

TEST(ShippedImage, PresentBytesRunFromZeroTo3A18BAndNoEarlierBlockIsBlank) {
  for (device_address address = 0; address < IMAGE_CAPACITY; ++address) {
    ASSERT_EQ(image_presence[address] != 0, address <= LAST_PRESENT) << std::hex << address;
  }
  for (device_address block = 0; block < 0x3A400; block += BLOCK_SIZE) {
    EXPECT_FALSE(image_block_is_blank(block, BLOCK_SIZE)) << std::hex << block;
  }
}

TEST(ShippedImage, RangeHasDataAtTheEdgesOfTheImage) {
  EXPECT_TRUE(image_range_has_data(0x3A000, 0x3A3FF));
  EXPECT_TRUE(image_range_has_data(LAST_PRESENT, LAST_PRESENT));
  EXPECT_TRUE(image_range_has_data(0, IMAGE_CAPACITY - 1));
  EXPECT_FALSE(image_range_has_data(0x3A400, 0x3A7FF));
  EXPECT_FALSE(image_range_has_data(LAST_PRESENT + 1, IMAGE_CAPACITY - 1));
  // Ranges reaching outside the image are refused even where they hold data.
  EXPECT_FALSE(image_range_has_data(0x3B000, 0x3B3FF));
  EXPECT_FALSE(image_range_has_data(0x3AC00, 0x3B000));
  EXPECT_FALSE(image_range_has_data(0x3A000, IMAGE_CAPACITY));
  EXPECT_FALSE(image_range_has_data(-1, 0x3FF));
  EXPECT_FALSE(image_range_has_data(0x3FF, 0)); // reversed
  EXPECT_FALSE(image_range_has_data(INT_MIN, INT_MAX));
  EXPECT_FALSE(image_range_has_data(INT_MAX, INT_MAX));
  EXPECT_FALSE(image_range_has_data(0, INT_MIN));
}

TEST(ShippedImage, BlankTestAtTheEdgesAndWithExtremeArguments) {
  EXPECT_FALSE(image_block_is_blank(0x3A000, BLOCK_SIZE));
  EXPECT_FALSE(image_block_is_blank(LAST_PRESENT, 1));
  EXPECT_FALSE(image_block_is_blank(0, IMAGE_CAPACITY));
  EXPECT_TRUE(image_block_is_blank(0x3A400, BLOCK_SIZE));
  EXPECT_TRUE(image_block_is_blank(0x3AC00, BLOCK_SIZE)); // ends exactly at capacity
  // Empty, negative or reaching past the image: blank, without a look.
  for (device_address address : {INT_MIN, -1, 0, 0x3A000, IMAGE_CAPACITY, INT_MAX}) {
    EXPECT_TRUE(image_block_is_blank(address, 0)) << address;
  }
  EXPECT_TRUE(image_block_is_blank(-1, BLOCK_SIZE));
  EXPECT_TRUE(image_block_is_blank(LAST_PRESENT, IMAGE_CAPACITY));
  // address + count overflows 32 bits: must not wrap round into the tables.
  EXPECT_TRUE(image_block_is_blank(INT_MAX, INT_MAX));
  EXPECT_TRUE(image_block_is_blank(INT_MAX - 10, 100));
  EXPECT_TRUE(image_block_is_blank(0x3A000, INT_MAX));
}

TEST(ShippedImage, ReadServesImageBytesThenErasedFill) {
  const std::vector<unsigned char> block = read_guarded(0x3A000, BLOCK_SIZE, BLOCK_SIZE);
  for (int i = 0; i < BLOCK_SIZE; ++i) {
    const unsigned char expected = i < 396 ? image_data[0x3A000 + i] : ERASED_BYTE;
    ASSERT_EQ(block[static_cast<std::size_t>(i)], expected) << i;
  }
  EXPECT_EQ(read_guarded(0x3AC00, BLOCK_SIZE, BLOCK_SIZE), std::vector<unsigned char>(BLOCK_SIZE, ERASED_BYTE));
}

TEST(ShippedImage, ReadOutsideTheImageGivesErasedBytesAndRespectsTheCount) {
  const std::vector<unsigned char> erased4(4, ERASED_BYTE);
  EXPECT_EQ(read_guarded(0x3AFFF, 2, 2), std::vector<unsigned char>(2, ERASED_BYTE));
  EXPECT_EQ(read_guarded(-1, 4, 4), erased4);
  EXPECT_EQ(read_guarded(INT_MIN, 4, 4), erased4);
  // A request straddling the end reads as erased even where data is present.
  const std::int32_t past_the_end = IMAGE_CAPACITY - LAST_PRESENT + 1;
  EXPECT_EQ(read_guarded(LAST_PRESENT, past_the_end, static_cast<std::size_t>(past_the_end)),
            std::vector<unsigned char>(static_cast<std::size_t>(past_the_end), ERASED_BYTE));
  EXPECT_EQ(read_guarded(INT_MAX - 1, 4, 4), erased4); // address + count overflows
  // Nothing is written for empty or negative counts, wherever they point.
  for (device_address address : {INT_MIN, -1, 0, LAST_PRESENT, INT_MAX}) {
    for (std::int32_t count : {0, -1, INT_MIN}) {
      EXPECT_EQ(read_guarded(address, count, 4), std::vector<unsigned char>(4, 0xA5)) << address << ' ' << count;
    }
  }
}

TEST(ShippedImageUpdate, SendsEveryBlockUpTo3A000InOrderThenClosesAndHolds) {
  const RecordedRun run = run_update_recorded({});
  ASSERT_EQ(run.process.exit_status, 0) << run.process.err;
  EXPECT_EQ(run.process.out, success_output(SHIPPED_BLOCKS));
  EXPECT_EQ(run.process.err, "");

  const auto sends = run.of_kind(LinkEvent::SEND);
  ASSERT_EQ(sends.size(), std::size_t{SHIPPED_BLOCKS});
  EXPECT_EQ(
      run.kinds(), "O " + [] {
        std::string s;
        for (int i = 0; i < SHIPPED_BLOCKS; ++i)
          s += "S ";
        return s;
      }() + "C P");
  for (std::size_t n = 0; n < sends.size(); ++n) {
    const LinkEvent &send = *sends[n];
    const auto address = static_cast<device_address>(n) * BLOCK_SIZE;
    ASSERT_EQ(send.report.size(), 1088u);
    EXPECT_EQ(send.report[0] | send.report[1] << 8 | send.report[2] << 16, address);
    EXPECT_EQ(std::vector<std::uint8_t>(send.report.begin() + 3, send.report.begin() + 64),
              std::vector<std::uint8_t>(61, 0));
    std::vector<unsigned char> expected(BLOCK_SIZE);
    image_read(address, BLOCK_SIZE, expected.data());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), send.report.begin() + 64)) << address;
    EXPECT_EQ(send.timeout_seconds, n == 0 ? 3.0 : 0.25);
    EXPECT_EQ(send.unflushed_stdout, 0u) << "the block's dot must show before it is sent";
  }
  const LinkEvent &last = *sends.back();
  EXPECT_EQ(std::vector<std::uint8_t>(last.report.begin(), last.report.begin() + 3),
            (std::vector<std::uint8_t>{0x00, 0xA0, 0x03}));
  EXPECT_EQ(std::vector<std::uint8_t>(last.report.begin() + 64 + 396, last.report.end()),
            std::vector<std::uint8_t>(628, ERASED_BYTE));

  const LinkEvent &hold = run.events.back();
  EXPECT_EQ(hold.milliseconds, 600000u);
  EXPECT_EQ(hold.unflushed_stdout, 0u) << "the success lines must show during the hold";
}

// Without KORVANE_ALLOW_PLACEHOLDER=1 a placeholder build stops once it has
// found the device, before the first report; real firmware has no such check.
// Only "1" asks: nothing else that may look like a yes.
TEST(ShippedImageUpdate, WritesThePlaceholderOnlyWhenAskedTo) {
  for (const char *allowed : {static_cast<const char *>(nullptr), "0", "", "yes", "true", "01", "1 "}) {
    SCOPED_TRACE(allowed != nullptr ? allowed : "unset");
    if (allowed != nullptr)
      setenv("KORVANE_ALLOW_PLACEHOLDER", allowed, 1);
    else
      unsetenv("KORVANE_ALLOW_PLACEHOLDER");
    const RecordedRun run = run_update_recorded({});
    setenv("KORVANE_ALLOW_PLACEHOLDER", "1", 1);

    if (!KORVANE_PLACEHOLDER_IMAGE) {
      EXPECT_EQ(run.process.exit_status, 0);
      EXPECT_EQ(run.process.out, success_output(SHIPPED_BLOCKS));
      continue;
    }
    EXPECT_EQ(run.process.exit_status, 1);
    EXPECT_EQ(run.process.out, BANNER + "Korvane device detected\n");
    EXPECT_EQ(run.process.err, PLACEHOLDER_REFUSAL);
    EXPECT_EQ(run.kinds(), "O P");
    EXPECT_EQ(run.events.back().milliseconds, 600000u);
  }
}

TEST(ShippedImageUpdate, NoDeviceGivesTheMessageOnStandardErrorThenHoldsAndFails) {
  LinkScript script;
  script.device_present = false;
  const RecordedRun run = run_update_recorded(script);
  EXPECT_EQ(run.process.exit_status, 1);
  EXPECT_EQ(run.process.out, BANNER);
  EXPECT_EQ(run.process.err, NO_DEVICE_MESSAGE + "\n");
  EXPECT_EQ(run.kinds(), "O P");
  EXPECT_EQ(run.events.back().milliseconds, 600000u);
}

// A failed send: the writer's reason stands right behind the dots, then the
// failure message goes to standard error and the run holds, without closing
// the device or trying the block again.
struct SendFailure {
  int at;
  void (*print_reason)();
  std::string reason;
};

void PrintTo(const SendFailure &failure, std::ostream *out) { *out << "at " << failure.at << ": " << failure.reason; }

class ShippedImageSendFailure : public ::testing::TestWithParam<SendFailure> {};

TEST_P(ShippedImageSendFailure, ReasonBehindTheDotsThenFailureMessageAndHold) {
  const SendFailure &failure = GetParam();
  LinkScript script;
  script.fail_at = failure.at;
  script.print_reason = failure.print_reason;
  const RecordedRun run = run_update_recorded(script);

  EXPECT_EQ(run.process.exit_status, 1);
  EXPECT_EQ(run.process.out, output_through_dots(failure.at) + failure.reason);
  EXPECT_EQ(run.process.err, WRITE_FAILURE_MESSAGE);
  const auto sends = run.of_kind(LinkEvent::SEND);
  ASSERT_EQ(sends.size(), static_cast<std::size_t>(failure.at));
  EXPECT_EQ(sends.back()->timeout_seconds, failure.at == 1 ? 3.0 : 0.25);
  EXPECT_EQ(run.of_kind(LinkEvent::CLOSE).size(), 0u);
  ASSERT_EQ(run.events.back().kind, LinkEvent::SLEEP);
  EXPECT_EQ(run.events.back().milliseconds, 600000u);
  // Also the reasons printed without a flush of their own show during the hold.
  EXPECT_EQ(run.events.back().unflushed_stdout, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ShippedImageSendFailure,
    ::testing::Values(SendFailure{1, [] { log_progress("Timed out writing to device.\n"); },
                                  "Timed out writing to device.\n"},
                      SendFailure{50, [] { std::printf("err 19: No such device\n"); }, "err 19: No such device\n"},
                      SendFailure{233, [] { std::puts("Non-ERROR_IO_PENDING"); }, "Non-ERROR_IO_PENDING\n"}));

} // namespace
