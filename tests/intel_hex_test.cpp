// The strict Intel HEX reader and the image generator that uses it.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "intel_hex.h"
#include "support/child_process.h"

namespace {

constexpr std::uint32_t CAPACITY = 0x3B000;

// One record with the right length byte and checksum.
std::string record(int type, int offset, std::initializer_list<int> payload) {
  std::vector<int> bytes{static_cast<int>(payload.size()), offset >> 8 & 0xFF, offset & 0xFF, type};
  bytes.insert(bytes.end(), payload);
  int sum = 0;
  std::string line = ":";
  char hex[3];
  for (int b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof hex, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return line + hex + "\n";
}

const std::string END = ":00000001FF\n";

struct Parsed {
  bool ok;
  SparseImage image;
  HexFault fault;
};

Parsed parse(const std::string &text) {
  Parsed result;
  result.ok = parse_intel_hex(text, CAPACITY, result.image, result.fault);
  return result;
}

TEST(IntelHex, FormattedImagesReadBackUnchanged) {
  std::mt19937 random(7);
  SparseImage image;
  image.present.assign(CAPACITY, 0);
  image.data.assign(CAPACITY, 0);
  // Scattered runs, some across 64 KiB windows, and the very last address.
  for (std::uint32_t start : {0u, 0x100u, 0xFFF0u, 0x1FFFFu, 0x2A000u, 0x3AFF0u}) {
    for (std::uint32_t a = start; a < start + 40 && a < CAPACITY; ++a) {
      image.present[a] = 1;
      image.data[a] = static_cast<std::uint8_t>(random());
    }
  }
  const Parsed back = parse(format_intel_hex(image));
  ASSERT_TRUE(back.ok) << back.fault.line << ": " << back.fault.message;
  EXPECT_EQ(back.image.present, image.present);
  for (std::uint32_t a = 0; a < CAPACITY; ++a) {
    if (image.present[a]) {
      ASSERT_EQ(back.image.data[a], image.data[a]) << a;
    }
  }
}

TEST(IntelHex, AcceptsTheRecordKindsAndWritingStylesFirmwareComesIn) {
  const std::string text = record(0x02, 0, {0x10, 0x00}) +               // segment 0x1000: base 0x10000
                           ":020000001234B8\r\n" +                       // CRLF line ending
                           record(0x04, 0, {0x00, 0x02}) +               // linear base 0x20000
                           ":02fffe00abcd89\n" +                         // lower-case digits
                           record(0x00, 0xFFFE, {0xAB, 0xCD}) +          // the same bytes again
                           record(0x05, 0, {0, 0, 0x01, 0x00}) +         // start address: ignored
                           record(0x03, 0, {0, 0, 0, 0}) + END + "\n\n"; // blank lines after the end
  const Parsed parsed = parse(text);
  ASSERT_TRUE(parsed.ok) << parsed.fault.line << ": " << parsed.fault.message;
  EXPECT_EQ(parsed.image.data[0x10000], 0x12);
  EXPECT_EQ(parsed.image.data[0x10001], 0x34);
  EXPECT_EQ(parsed.image.data[0x2FFFE], 0xAB);
  EXPECT_EQ(parsed.image.data[0x2FFFF], 0xCD);
  EXPECT_EQ(std::count(parsed.image.present.begin(), parsed.image.present.end(), 1), 4);
}

struct Malformed {
  std::string name;
  std::string text;
  int line;
  std::string says;
};

void PrintTo(const Malformed &bad, std::ostream *out) { *out << bad.name; }

class IntelHexRefuses : public ::testing::TestWithParam<Malformed> {};

TEST_P(IntelHexRefuses, NamesTheLineAndKeepsNothing) {
  const Malformed &bad = GetParam();
  const Parsed parsed = parse(bad.text);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.fault.line, bad.line);
  EXPECT_NE(parsed.fault.message.find(bad.says), std::string::npos) << parsed.fault.message;
  EXPECT_TRUE(parsed.image.present.empty() && parsed.image.data.empty());
}

const std::string GOOD = record(0, 0x10, {1, 2, 3});

INSTANTIATE_TEST_SUITE_P(
    Faults, IntelHexRefuses,
    ::testing::Values(
        Malformed{"BadChecksum", GOOD + ":0300200001020307\n" + END, 2, "checksum"},
        Malformed{"NoColon", GOOD + "03002000010203D7\n" + END, 2, "':'"},
        Malformed{"OddDigits", GOOD + ":0300200001020\n" + END, 2, "odd"},
        Malformed{"NotHex", ":03001000010G03E9\n" + END, 1, "hex digit"},
        Malformed{"CountDisagrees", ":040010000102031A\n" + END, 1, "byte count"},
        Malformed{"TooShort", ":00000000\n" + END, 1, "too short"}, Malformed{"EmptyLine", GOOD + "\n" + END, 2, "':'"},
        Malformed{"UnknownType", GOOD + record(0x06, 0, {1}) + END, 2, "unknown record type 0x06"},
        Malformed{"AtCapacity", record(0x04, 0, {0, 3}) + record(0, 0xAFFF, {1, 2}) + END, 2, "0x3B000"},
        Malformed{"FarBeyondCapacity", record(0x04, 0, {0xFF, 0xFF}) + record(0, 0, {1}) + END, 2, "capacity"},
        Malformed{"SegmentBeyondCapacity", record(0x02, 0, {0xF0, 0x00}) + record(0, 0, {1}) + END, 2, "capacity"},
        Malformed{"RunsPastItsWindow", record(0, 0xFFFF, {1, 2}) + END, 1, "64 KiB"},
        Malformed{"TwoBytesForOneAddress", GOOD + record(0, 0x12, {9}) + END, 2, "on line 1"},
        Malformed{"EndCarriesData", GOOD + record(0x01, 0, {0}), 2, "end-of-file"},
        Malformed{"ShortExtendedAddress", record(0x04, 0, {3}) + END, 1, "2 bytes"},
        Malformed{"ShortStartAddress", record(0x05, 0, {1, 2}) + END, 1, "4 bytes"},
        Malformed{"RecordAfterTheEnd", GOOD + END + GOOD, 3, "after the end-of-file"},
        Malformed{"NoEnd", GOOD + GOOD, 0, "without an end-of-file"},
        Malformed{"NothingAtAll", "", 0, "without an end-of-file"}),
    [](const ::testing::TestParamInfo<Malformed> &test) { return test.param.name; });

class ImageGenerator : public ::testing::Test {
protected:
  std::string out = ::testing::TempDir() + "korvane_generated_image.cpp";
  void SetUp() override { std::remove(out.c_str()); }
  void TearDown() override { std::remove(out.c_str()); }
  void write(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "wb");
    std::fputs(text.c_str(), file);
    std::fclose(file);
  }
};

TEST_F(ImageGenerator, AFaultyFileStopsItWithFileAndLineAndNoOutput) {
  const std::string hex = ::testing::TempDir() + "korvane_faulty.hex";
  write(hex, GOOD + GOOD + ":0300200001020307\n" + END);
  const ChildResult run = run_command({KORVANE_IMAGE_GEN, "embed", hex, out});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err.rfind(hex + ":3: error: bad checksum", 0), 0u) << run.err;
  EXPECT_EQ(read_file(out), "");
  EXPECT_EQ(read_file(out + ".partial"), "");
  std::remove(hex.c_str());
}

TEST_F(ImageGenerator, AMissingFileIsNamed) {
  const std::string hex = ::testing::TempDir() + "korvane_no_such_file.hex";
  const ChildResult run = run_command({KORVANE_IMAGE_GEN, "embed", hex, out});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, hex + ": error: cannot be read: No such file or directory\n");
  EXPECT_EQ(read_file(out), "");
}

TEST_F(ImageGenerator, TablesMarkPresentBytesAndFillTheRestWithErasedBytes) {
  const ChildResult run = run_command({KORVANE_IMAGE_GEN, "embed", KORVANE_TEST_IMAGES "/crafted.hex", out});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string tables = read_file(out);
  // The presence table opens with the 16 present bytes at 0x00000, then 0s.
  const std::size_t presence = tables.find("image_presence[IMAGE_CAPACITY] = {\n");
  ASSERT_NE(presence, std::string::npos);
  const std::string first_row = "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,\n";
  EXPECT_EQ(tables.substr(presence + 35, first_row.size()), first_row);
  const std::size_t data = tables.find("image_data[IMAGE_CAPACITY] = {\n");
  ASSERT_NE(data, std::string::npos);
  EXPECT_EQ(tables.substr(data + 31, 12), "255,255,255,");
}

} // namespace
