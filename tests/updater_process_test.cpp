// The real updater executable, run to its end with its pauses sped up a
// thousandfold by faketime (the 600-second hold takes 0.6 s). The test
// machine has no Korvane bootloader.
#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/transcripts.h"

namespace {

std::vector<std::string> sped_up_updater() {
  std::vector<std::string> command{"faketime", "-f", "+0 x1000"};
  for (const std::string &word : built_program(KORVANE_UPDATER))
    command.push_back(word);
  return command;
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
