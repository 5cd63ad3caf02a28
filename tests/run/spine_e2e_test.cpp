/* End-to-end runs of the grabber's spine: banner, logs, exit codes. */
#include <gtest/gtest.h>

#include "support/run_helper.h"

TEST(RunSpine, UnopenableRootEndsWithExitCodeOne) {
  GrabDir g("badroot");
  WriteFileText(g.dir + "/file", "x");
  GrabResult r = g.Run({g.dir + "/file/db"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  auto msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "Error opening EPGDB")) << r.log;
}
