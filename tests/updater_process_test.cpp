// The real updater executable, run to its end with its pauses sped up a
// thousandfold by faketime (the 600-second hold takes 0.6 s). The test
// machine has no Korvane bootloader.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/transcripts.h"

namespace {

TEST(UpdaterProcess, WithoutADeviceShowsTheBannerAndTheMessageThenExitsWithOneAfterTheHold) {
  const ChildResult child = run_command({"faketime", "-f", "+0 x1000", KORVANE_UPDATER});
  EXPECT_EQ(child.exit_status, 1);
  EXPECT_EQ(child.out, BANNER);
  EXPECT_EQ(child.err, NO_DEVICE_MESSAGE + "\n");
}

TEST(UpdaterProcess, IgnoresItsArguments) {
  const ChildResult child = run_command({"faketime", "-f", "+0 x1000", KORVANE_UPDATER, "--help", "x"});
  EXPECT_EQ(child.exit_status, 1);
  EXPECT_EQ(child.out, BANNER);
  EXPECT_EQ(child.err, NO_DEVICE_MESSAGE + "\n");
}

} // namespace
