/* Log files: line format, the message cut, the hex dump layout, debug on/off. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "log/log.h"
#include "support/run_helper.h"

namespace {

/* Private main and debug log files for one test, closed and removed after it. */
struct LogFiles {
  std::string main_path, debug_path;
  explicit LogFiles(const std::string &tag) {
    std::string base = "/tmp/mhw2-logtest-" + tag + "-" + std::to_string(getpid());
    main_path = base + ".log";
    debug_path = base + ".debug.log";
    unlink(main_path.c_str());
    unlink(debug_path.c_str());
    LogSetDebugPath(debug_path.c_str());
    LogSetDebug(0);
  }
  ~LogFiles() {
    CloseLog();
    CloseDebugLog();
    LogSetDebug(0);
    unlink(main_path.c_str());
    unlink(debug_path.c_str());
  }
  std::string Main() const { return ReadFileText(main_path); }
  std::string Debug() const { return ReadFileText(debug_path); }
};

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(LogWriteLog, TimestampThenMessageAndLineFeedsKeptAsGiven) {
  LogFiles f("line");
  WriteFileText(f.main_path, "an earlier run's log\n"); /* emptied by the open */
  ASSERT_EQ(OpenLog(f.main_path.c_str()), 1);
  WriteLog("%s v%s", "grab", "1.0");
  WriteLog("first\nsecond");
  WriteLog("done\n");
  WriteLog("%s", "100% sure %d");
  CloseLog();
  auto lines = SplitLines(f.Main());
  ASSERT_EQ(lines.size(), 6u);
  /* "dd/mm/YYYY HH:MM:SS " is 20 characters. */
  for (int i : {0, 1, 3, 5}) {
    ASSERT_GE(lines[i].size(), 20u);
    const std::string ts = lines[i].substr(0, 20);
    EXPECT_TRUE(isdigit(ts[0]) && isdigit(ts[1]) && ts[2] == '/' && ts[5] == '/' && ts[10] == ' ' &&
                ts[13] == ':' && ts[16] == ':' && ts[19] == ' ')
        << ts;
  }
  EXPECT_EQ(lines[0].substr(20), "grab v1.0");
  EXPECT_EQ(lines[1].substr(20), "first");
  EXPECT_EQ(lines[2], "second");  /* continuation line carries no timestamp */
  EXPECT_EQ(lines[3].substr(20), "done");
  EXPECT_EQ(lines[4], "");        /* a message ending in "\n" leaves an empty line */
  EXPECT_EQ(lines[5].substr(20), "100% sure %d");
  EXPECT_FALSE(Exists(f.debug_path)) << "debug off must not create the debug log";
}

TEST(LogWriteLog, ControlBytesFromArgumentsAreEscapedInTheMainLogOnly) {
  LogFiles f("escape");
  ASSERT_EQ(OpenLog(f.main_path.c_str()), 1);
  LogSetDebug(1);
  /* The format's own line feeds stay; what the arguments bring in below
   * 0x20 and 0x7F is escaped, 0x80 and above is not. */
  WriteLog(" MHW channel=\"%s\":%X", "Uno\n01/01/2000 00:00:00 forged\x1B[2J\x7F\t\xE9", 0x1F41);
  WriteLog("%s\nsecond %s\n", "first\r", "\n\x01");
  CloseLog();
  EXPECT_EQ(LogMessages(f.Main()),
            (std::vector<std::string>{" MHW channel=\"Uno\\x0A01/01/2000 00:00:00 forged\\x1B[2J\\x7F\\x09\xE9\":1F41",
                                      "first\\x0D", "second \\x0A\\x01", ""}))
      << f.Main();
  /* The debug log keeps the message as it was formatted. */
  EXPECT_NE(f.Debug().find("Uno\n01/01/2000 00:00:00 forged\x1B[2J\x7F\t\xE9\":1F41\n"), std::string::npos);
  EXPECT_NE(f.Debug().find("first\r\nsecond \n\x01\n\n"), std::string::npos);
}

TEST(LogWriteLog, LongMessageIsCutTo16383Characters) {
  LogFiles f("cut");
  ASSERT_EQ(OpenLog(f.main_path.c_str()), 1);
  std::string big(20000, 'x');
  big[16382] = 'y';
  WriteLog("%s", big.c_str());
  CloseLog();
  std::string text = f.Main();
  ASSERT_EQ(text.size(), 20u + 16383u + 1u);
  EXPECT_EQ(text[20 + 16382], 'y');
  EXPECT_EQ(text.back(), '\n');
}

TEST(LogWriteLog, DebugLogGetsTheSameLinesOnlyWhileDebugIsOn) {
  LogFiles f("copy");
  WriteFileText(f.debug_path, "earlier run\n");
  ASSERT_EQ(OpenLog(f.main_path.c_str()), 1);
  WriteLog("before debug");
  EXPECT_EQ(f.Debug(), "earlier run\n") << "debug off leaves an earlier debug log untouched";
  LogSetDebug(1);
  WriteLog("Enabling FULL debug log");
  WriteDebug("free %s", "text");
  WriteDebug("\n");
  std::string main_text = f.Main();
  auto main_lines = SplitLines(main_text);
  ASSERT_EQ(main_lines.size(), 2u);
  EXPECT_EQ(f.Debug(), main_lines[1] + "\nfree text\n");
}

TEST(LogWriteLog, MainLogMissingStillFeedsTheDebugLog) {
  LogFiles f("nomain");
  EXPECT_EQ(OpenLog("/nonexistent-dir/x.log"), 0);
  LogSetDebug(1);
  WriteLog("only debug");
  EXPECT_EQ(f.Debug().substr(20), "only debug\n");
}

TEST(LogOpen, NeverFollowsALinkOrWritesIntoAFifoOrDirectory) {
  LogFiles f("links");
  std::string target = f.main_path + ".target";
  WriteFileText(target, "precious\n");
  ASSERT_EQ(symlink(target.c_str(), f.main_path.c_str()), 0);
  EXPECT_EQ(OpenLog(f.main_path.c_str()), 0);
  WriteLog("must not land in the target");
  EXPECT_EQ(ReadFileText(target), "precious\n");
  unlink(f.main_path.c_str());
  unlink(target.c_str());

  ASSERT_EQ(mkfifo(f.main_path.c_str(), 0600), 0);
  EXPECT_EQ(OpenLog(f.main_path.c_str()), 0) << "a FIFO without reader must be refused, not block";
  unlink(f.main_path.c_str());

  ASSERT_EQ(mkdir(f.main_path.c_str(), 0700), 0);
  EXPECT_EQ(OpenLog(f.main_path.c_str()), 0);
  rmdir(f.main_path.c_str());

  /* A hard link planted at the log path names another file: left as it is. */
  WriteFileText(target, "precious\n");
  ASSERT_EQ(link(target.c_str(), f.main_path.c_str()), 0);
  EXPECT_EQ(OpenLog(f.main_path.c_str()), 0);
  EXPECT_EQ(ReadFileText(target), "precious\n");
  unlink(f.main_path.c_str());
  unlink(target.c_str());

  /* A debug log path that does not fit its buffer is refused, not cut. */
  std::string longer = f.debug_path + std::string(300, 'x');
  EXPECT_EQ(LogSetDebugPath(longer.c_str()), 0);
  LogSetDebug(1);
  EXPECT_EQ(OpenDebugLog(), 0);
  EXPECT_FALSE(Exists(longer.substr(0, 255)));
  EXPECT_EQ(LogSetDebugPath(f.debug_path.c_str()), 1);
}

TEST(LogHexDump, RowsOffsetsColumnsAndPadding) {
  LogFiles f("hex");
  LogSetDebug(1);
  uint8_t data[176];
  for (int i = 0; i < 176; i++) data[i] = (uint8_t)i;
  data[0] = 0xAF;
  data[1] = 0x20;
  data[2] = 0x7F;
  data[3] = 'A';
  DebugHexDump(data, 17, "MHW channels section");
  DebugHexDump(data, 0, "empty");
  DebugHexDump(data, -5, nullptr);
  DebugHexDump(data, 176, nullptr);
  auto lines = SplitLines(f.Debug());
  ASSERT_EQ(lines.size(), 1u + 2u + 1u + 11u);
  EXPECT_EQ(lines[0], "MHW channels section =");
  EXPECT_EQ(lines[1],
            "00000000: AF 20 7F 41 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  . .A............");
  EXPECT_EQ(lines[1].size() + 1, 76u) << "a full row is 76 bytes with its line end";
  EXPECT_EQ(lines[2], "00000010: 10" + std::string(15 * 3 + 1, ' ') + " .");
  EXPECT_EQ(lines[2].find('.'), 59u) << "character column starts at the 60th character";
  EXPECT_EQ(lines[3], "empty =");
  EXPECT_EQ(lines[14].substr(0, 13), "000000a0: A0 ");
  EXPECT_EQ(lines[14].substr(59), "................");
}

TEST(LogHexDump, NothingWrittenOrCreatedWhileDebugIsOff) {
  LogFiles f("hexoff");
  uint8_t data[4] = {1, 2, 3, 4};
  DebugHexDump(data, 4, "label");
  WriteDebug("x");
  EXPECT_FALSE(Exists(f.debug_path));
}
