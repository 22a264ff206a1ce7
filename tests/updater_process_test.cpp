// The real updater executable, run to its end with its sleeps shortened a
// thousandfold by a preloaded library (the 600-second hold takes 0.6 s).
// The test machine has no Korvane bootloader.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/transcripts.h"

namespace {

std::vector<std::string> sped_up_updater() {
  return built_program(KORVANE_UPDATER, {std::string("LD_PRELOAD=") + KORVANE_QUICK_SLEEP});
}

TEST(UpdaterProcess, WithoutADeviceShowsTheBannerAndTheMessageThenExitsWithOneAfterTheHold) {
  const ChildResult child = run_command(sped_up_updater());
  EXPECT_EQ(child.exit_status, 1);
  EXPECT_EQ(child.out, BANNER);
  EXPECT_EQ(child.err, NO_DEVICE_MESSAGE + "\n");
}

TEST(UpdaterProcess, IgnoresItsArguments) {
  std::vector<std::string> command = sped_up_updater();
  command.insert(command.end(), {"--help", "x"});
  const ChildResult child = run_command(command);
  EXPECT_EQ(child.exit_status, 1);
  EXPECT_EQ(child.out, BANNER);
  EXPECT_EQ(child.err, NO_DEVICE_MESSAGE + "\n");
}

} // namespace
