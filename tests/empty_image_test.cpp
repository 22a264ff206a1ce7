// The update run over an image that defines no byte at all.
#include <gtest/gtest.h>

#include "driver/update_run.h"
#include "image/image_store.h"
#include "support/recording_link.h"
#include "support/transcripts.h"

namespace {

TEST(EmptyImageUpdate, SendsOnlyBlockZeroAllErased) {
  EXPECT_FALSE(image_range_has_data(0, IMAGE_CAPACITY - 1));

  const RecordedRun run = run_update_recorded({});
  ASSERT_EQ(run.process.exit_status, 0) << run.process.err;
  EXPECT_EQ(run.process.out, success_output(1));
  EXPECT_EQ(run.kinds(), "O S C P");
  const LinkEvent &send = *run.of_kind(LinkEvent::SEND).front();
  std::vector<std::uint8_t> expected(64, 0);
  expected.resize(1088, ERASED_BYTE);
  EXPECT_EQ(send.report, expected);
  EXPECT_EQ(send.timeout_seconds, 3.0);
}

} // namespace
