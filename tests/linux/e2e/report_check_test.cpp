// The simulated bootloader's judgement of block reports and of the memory
// they programmed, and its command line.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "report_check.h"
#include "sim_options.h"

namespace {

using namespace bootloader_device;
using Report = std::vector<std::uint8_t>;

SparseImage empty_image() {
  SparseImage image;
  image.present.assign(IMAGE_CAPACITY, 0);
  image.data.assign(IMAGE_CAPACITY, 0);
  return image;
}

void define(SparseImage &image, std::uint32_t address, std::uint8_t value) {
  image.present[address] = 1;
  image.data[address] = value;
}

// The report a correct updater sends for block address of image.
Report block_report(const SparseImage &image, std::uint32_t address) {
  Report report(REPORT_SIZE, 0);
  report[1] = static_cast<std::uint8_t>(address);
  report[2] = static_cast<std::uint8_t>(address >> 8);
  report[3] = static_cast<std::uint8_t>(address >> 16);
  for (std::uint32_t i = 0; i < BLOCK_SIZE; ++i) {
    const std::uint32_t a = address + i;
    report[1 + HEADER_SIZE + i] = a < IMAGE_CAPACITY && image.present[a] ? image.data[a] : ERASED;
  }
  return report;
}

std::string fault_after(const std::vector<Report> &reports) {
  ReportChecker checker;
  for (const Report &report : reports)
    checker.receive(report.data(), report.size(), true);
  return checker.fault();
}

// A small image: a byte in block 0x00400, a block of present 0xFF bytes at
// 0x00800, and the image's very last byte.
SparseImage sample_image() {
  SparseImage image = empty_image();
  define(image, 0x00555, 0x42);
  for (std::uint32_t a = 0x800; a < 0xC00; ++a)
    define(image, a, 0xFF);
  define(image, IMAGE_CAPACITY - 1, 0x00);
  return image;
}

TEST(ExpectedUpdate, FollowsTheUpdateRulesForWhichBlocksAreSent) {
  const ExpectedUpdate expected = expected_update(sample_image());
  std::vector<std::size_t> sent;
  for (std::size_t block = 0; block < expected.block_sent.size(); ++block) {
    if (expected.block_sent[block]) sent.push_back(block * BLOCK_SIZE);
  }
  // Block 0 although empty; not 0x00800, whose present bytes are all 0xFF.
  EXPECT_EQ(sent, (std::vector<std::size_t>{0x00000, 0x00400, IMAGE_CAPACITY - BLOCK_SIZE}));
  EXPECT_EQ(expected.memory[0x00555], 0x42);
  EXPECT_EQ(expected.memory[0x00554], ERASED);
  EXPECT_EQ(expected.memory[IMAGE_CAPACITY - 1], 0x00);
}

TEST(ReportChecker, ACorrectUpdateMatchesItsImage) {
  const SparseImage image = sample_image();
  ReportChecker checker;
  for (const std::uint32_t address : {0x00000u, 0x00400u, IMAGE_CAPACITY - BLOCK_SIZE}) {
    const Report report = block_report(image, address);
    EXPECT_TRUE(checker.receive(report.data(), report.size(), true));
  }
  EXPECT_TRUE(checker.compare(expected_update(image))) << checker.fault();
  EXPECT_EQ(checker.reports(), 3u);
}

TEST(ReportChecker, RefusesReportsThatBreakTheProtocol) {
  const SparseImage image = empty_image();
  const Report block0 = block_report(image, 0);
  const Report block1 = block_report(image, 0x400);
  Report short_report = block0, long_report = block0, wrong_id = block0, header = block0, unaligned = block1,
         beyond = block0;
  short_report.pop_back();
  long_report.push_back(0);
  wrong_id[0] = 0x01;
  header[64] = 0x07; // the last of the 61 zero bytes
  unaligned[1] = 0x01;
  beyond[3] = 0x04; // 0x40000

  struct Case {
    std::vector<Report> reports;
    std::string fault;
  };
  const Case cases[] = {
      {{short_report}, "report 1: size 1088, expected 1089"},
      {{long_report}, "report 1: size 1090, expected 1089"},
      {{wrong_id}, "report 1: report ID 0x01, expected 0x00"},
      {{header}, "report 1: header byte 63 is 0x07, expected 0x00"},
      {{block0, unaligned}, "report 2: block address 0x00401 is not aligned"},
      {{beyond}, "report 1: block address 0x40000 is beyond device memory"},
      {{block1}, "report 1: first report is for block 0x00400, expected 0x00000"},
      {{block0, block1, block1}, "report 3: block 0x00400 sent twice"},
      {{block0, block_report(image, 0x800), block1}, "report 3: block 0x00400 after block 0x00800"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(fault_after(c.reports), c.fault);
  // Only the first fault counts.
  EXPECT_EQ(fault_after({wrong_id, short_report}), "report 1: report ID 0x01, expected 0x00");
}

TEST(ReportChecker, FindsMemoryThatDiffersFromTheImage) {
  const SparseImage image = sample_image();
  const ExpectedUpdate expected = expected_update(image);
  const Report block0 = block_report(image, 0);
  const Report data_block = block_report(image, 0x400);
  const Report last_block = block_report(image, IMAGE_CAPACITY - BLOCK_SIZE);
  Report wrong_byte = data_block, absent_not_erased = data_block;
  wrong_byte[1 + HEADER_SIZE + 0x155] = 0x43;
  absent_not_erased[1 + HEADER_SIZE] = 0x00;

  struct Case {
    std::vector<Report> reports;
    std::string fault;
  };
  const Case cases[] = {
      {{block0, last_block}, "block 0x00400 was never written"},
      {{block0, data_block, block_report(image, 0x800), last_block},
       "block 0x00800 was written but holds no data to send"},
      {{block0, wrong_byte, last_block}, "memory at 0x00555 is 0x43, image has 0x42"},
      {{block0, absent_not_erased, last_block}, "memory at 0x00400 is 0x00, image has 0xff"},
  };
  for (const Case &c : cases) {
    ReportChecker checker;
    for (const Report &report : c.reports)
      ASSERT_TRUE(checker.receive(report.data(), report.size(), true));
    EXPECT_FALSE(checker.compare(expected));
    EXPECT_EQ(checker.fault(), c.fault);
  }
}

TEST(ReportChecker, AReportTheDeviceDidNotTakeProgramsNothing) {
  const SparseImage image = sample_image();
  ReportChecker checker;
  const Report block0 = block_report(image, 0);
  const Report data_block = block_report(image, 0x400);
  checker.receive(block0.data(), block0.size(), true);
  EXPECT_TRUE(checker.receive(data_block.data(), data_block.size(), false));
  EXPECT_EQ(checker.memory()[0x00555], ERASED);
  EXPECT_FALSE(checker.compare(expected_update(image)));
  EXPECT_EQ(checker.fault(), "block 0x00400 was never written");
}

std::vector<char *> argv_of(std::vector<std::string> &words) {
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(word.data());
  return argv;
}

TEST(SimOptions, ReadsDevicesFaultsAndTheCommand) {
  std::vector<std::string> words{"korvane_sim", "--device",  "16c0:478", "--device", "1:ffff/64@666", "--fail-at",
                                 "50:19",       "--zero-at", "7",        "--",       "cmd",           "--device"};
  std::vector<char *> argv = argv_of(words);
  SimOptions options;
  std::string error;
  ASSERT_TRUE(parse_sim_options(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
  ASSERT_EQ(options.devices.size(), 2u);
  EXPECT_EQ(options.devices[0].vendor_id, 0x16C0);
  EXPECT_EQ(options.devices[0].product_id, 0x0478);
  EXPECT_EQ(options.devices[1].product_id, 0xFFFF);
  EXPECT_EQ(options.devices[1].output_bytes, 64u);
  EXPECT_EQ(options.devices[0].node_mode, 0660u);
  EXPECT_EQ(options.devices[1].node_mode, 0666u);
  EXPECT_EQ(options.command, (std::vector<std::string>{"cmd", "--device"}));
  EXPECT_EQ(fault_for_report(options, 49), ReportFault::none);
  EXPECT_EQ(fault_for_report(options, 50), ReportFault::fail);
  EXPECT_EQ(options.fail_errno, 19);
  EXPECT_EQ(fault_for_report(options, 7), ReportFault::zero);

  std::vector<std::string> plain{"korvane_sim", "--", "cmd"};
  argv = argv_of(plain);
  ASSERT_TRUE(parse_sim_options(static_cast<int>(argv.size()), argv.data(), options, error));
  ASSERT_EQ(options.devices.size(), 1u); // one bootloader unless told otherwise
  EXPECT_EQ(options.devices[0].vendor_id, 0x16C0);
  EXPECT_EQ(options.devices[0].product_id, 0x0478);
}

TEST(SimOptions, RefusesMalformedValues) {
  const std::vector<std::string> mistakes[] = {
      {"--device", "16C0"}, {"--device", "16C00:1"}, {"--device", "-1:1"}, {"--stall-at", "0"},
      {"--stall-at", "1x"}, {"--fail-at", "3"},      {"--fail-at", "3:0"}, {"--fail-at", "0:19"},
      {"--delay-ms", "-5"}, {"--zero-at", ""},       {"--unknown", "1"},   {"--device", "16C0:0478@8"},
  };
  for (const auto &mistake : mistakes) {
    std::vector<std::string> words{"korvane_sim"};
    words.insert(words.end(), mistake.begin(), mistake.end());
    words.insert(words.end(), {"--", "cmd"});
    std::vector<char *> argv = argv_of(words);
    SimOptions options;
    std::string error;
    EXPECT_FALSE(parse_sim_options(static_cast<int>(argv.size()), argv.data(), options, error))
        << mistake[0] << " " << mistake[1];
  }
}

} // namespace
