/* End-to-end runs of the grabber's spine: banner, logs, exit codes, names
 * taken from argv[0] and argv[1]. */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "support/guide_dump.h"
#include "support/run_helper.h"

namespace {

const char NO_DEMUX[] = "/dev/dvb/adapter0/demux0";

}  // namespace

TEST(RunSpine, RunWithoutDemuxLogsEveryMilestoneAndExitsZero) {
  GrabDir g("spine");
  if (access(NO_DEMUX, F_OK) == 0) GTEST_SKIP() << "this machine has a demux device";
  GrabResult r = g.Run({g.root});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  const std::vector<std::string> expected = {
      g.name + " v1.0",
      "Config file: " + g.exe + ".conf",
      "Error opening config file: " + g.exe + ".conf",
      "Using default config values",
      "db_root = " + g.root,
      "EPGDB opened (root=" + g.root + ")",
      "Using demux: /dev/dvb/adapter0/demux0",
      "DemuxInit() - Error opening demux (/dev/dvb/adapter0/demux0)",
      "Nothing added to database",
      "EPGDB closed and memory cleaned",
      "done",
      "",
  };
  EXPECT_EQ(LogMessages(r.log), expected) << r.log;
  std::regex stamp("^[0-3][0-9]/[01][0-9]/[0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] .*");
  auto lines = SplitLines(r.log);
  for (size_t i = 0; i + 1 < lines.size(); i++) EXPECT_TRUE(std::regex_match(lines[i], stamp)) << lines[i];
  EXPECT_FALSE(r.debug_log_exists) << "debug is off: no debug log";
  /* The database file exists with its schema even though nothing was added. */
  EXPECT_EQ(GuideTitleCount(g.root), 0);
}

TEST(RunSpine, UnopenableRootEndsWithExitCodeOne) {
  GrabDir g("badroot");
  WriteFileText(g.dir + "/file", "x");
  GrabResult r = g.Run({g.dir + "/file/db"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\n");
  auto msgs = LogMessages(r.log);
  ASSERT_GE(msgs.size(), 3u);
  EXPECT_EQ(msgs[msgs.size() - 3], "db_root = " + g.dir + "/file/db");
  EXPECT_EQ(msgs[msgs.size() - 2], "Error opening EPGDB");
  /* The library's reason follows, and nothing else. */
  EXPECT_EQ(msgs.back(), "EPGDB: root " + g.dir + "/file/db: Not a directory");
}

TEST(RunSpine, TrailingSlashesAreRemovedFromTheRoot) {
  GrabDir g("slashes");
  GrabResult r = g.Run({g.root + "///"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(HasLine(LogMessages(r.log), "db_root = " + g.root)) << r.log;
  EXPECT_TRUE(HasLine(LogMessages(r.log), "EPGDB opened (root=" + g.root + ")"));
}

TEST(RunSpine, OverlongRootIsRefusedNotCut) {
  GrabDir g("longroot");
  std::string root = g.dir + "/" + std::string(300, 'r');
  GrabResult r = g.Run({root});
  EXPECT_EQ(r.exit_code, 1);
  auto msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "db_root too long (more than 255 characters)")) << r.log;
  EXPECT_EQ(msgs.back(), "Error opening EPGDB");
  struct stat st;
  EXPECT_NE(stat(root.substr(0, 255).c_str(), &st), 0) << "no cut root may be created";
}

TEST(RunSpine, OverlongProgramPathSkipsTheConfigurationButRuns) {
  GrabDir g("longpath");
  /* argv[0] of about 300 characters: a deep folder, a short name. */
  std::string deep = g.dir;
  while (deep.size() < 290) {
    deep += "/" + std::string(40, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  std::string exe = deep + "/" + g.name;
  ASSERT_EQ(symlink((std::string(MHW2_BUILD_DIR) + "/mhw2grab").c_str(), exe.c_str()), 0);
  std::string cmd = "'" + exe + "' '" + g.root + "'; echo rc=$?";
  std::string out = ShellOutput(cmd);
  EXPECT_EQ(out, "TYPE RUNNING CSCRIPT " + g.name + " v1.0\nrc=0\n");
  auto msgs = LogMessages(ReadFileText(g.LogPath()));
  EXPECT_TRUE(HasLine(msgs, "Config file path too long (more than 255 characters). Using default config values"));
  EXPECT_TRUE(HasLine(msgs, "done"));
}

TEST(RunSpine, OverlongProgramNameRunsWithoutLogFiles) {
  GrabDir g("longname");
  std::string name(250, 'n'); /* "/tmp/<name>.log" no longer fits 255 characters */
  std::string exe = g.dir + "/" + name;
  ASSERT_EQ(symlink((std::string(MHW2_BUILD_DIR) + "/mhw2grab").c_str(), exe.c_str()), 0);
  std::string out = ShellOutput("'" + exe + "' '" + g.root + "'; echo rc=$?");
  EXPECT_EQ(out, "TYPE RUNNING CSCRIPT " + name + " v1.0\nrc=0\n");
  struct stat st;
  EXPECT_NE(stat(("/tmp/" + name.substr(0, 246)).c_str(), &st), 0) << "no cut log name";
}

TEST(RunSpine, SymlinkAtTheLogPathIsNotFollowed) {
  GrabDir g("symlink");
  std::string target = g.dir + "/victim";
  WriteFileText(target, "keep me\n");
  ASSERT_EQ(symlink(target.c_str(), g.LogPath().c_str()), 0);
  GrabResult r = g.Run({g.root});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(ReadFileText(target), "keep me\n");
  struct stat st;
  ASSERT_EQ(lstat(g.LogPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the planted link stays as it was";
}
