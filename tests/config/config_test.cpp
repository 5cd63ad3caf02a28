/* The configuration reader on real files: every key, every message, line
 * numbering, trimming and the hand-over to demux auto-detection. */
#include <gtest/gtest.h>
#include <unistd.h>

#include "config/config.h"
#include "demux/demux_fixture.h"

namespace {

using Lines = std::vector<std::string>;

/* A configuration file, the captured main log and debug log, and settings
 * back at their initial values before and after. */
struct ConfigRun {
  LogCapture log;
  std::string dir, conf, debug_path;
  ConfigRun() {
    char templ[] = "/tmp/configtest-XXXXXX";
    dir = mkdtemp(templ);
    conf = dir + "/grab.conf";
    debug_path = dir + "/grab.debug.log";
    ConfigReset();
    LogSetDebug(0);
    LogSetDebugPath(debug_path.c_str());
  }
  ~ConfigRun() {
    CloseDebugLog();
    LogSetDebug(0);
    ConfigReset();
    unlink(conf.c_str());
    unlink(debug_path.c_str());
    rmdir(dir.c_str());
  }
  int32_t Read(const std::string &text) {
    WriteFileText(conf, text);
    return ReadConfig(conf.c_str());
  }
  Lines Messages() const { return log.Messages(); }
  std::string DebugLog() const { return ReadFileText(debug_path); }
};

/* The lines auto-detection logs when no demux device exists at all. */
Lines NoDeviceLines() {
  Lines out;
  for (int i = 0; i < 16; i++)
    out.push_back("DemuxInit() - Error opening demux (/dev/dvb/adapter0/demux" + std::to_string(i) + ")");
  return out;
}

bool MachineHasDemux() { return access("/dev/dvb", F_OK) == 0; }

TEST(ReadConfig, MissingFileKeepsDefaultsWithoutDetection) {
  ConfigRun run;
  EXPECT_EQ(ReadConfig((run.dir + "/none.conf").c_str()), 0);
  EXPECT_EQ(run.Messages(), (Lines{"Config file: " + run.dir + "/none.conf",
                                   "Error opening config file: " + run.dir + "/none.conf",
                                   "Using default config values"}));
  RunSettings *s = ConfigSettings();
  EXPECT_STREQ(s->demux_path, "/dev/dvb/adapter0/demux0");
  EXPECT_EQ(s->download_3_days, 1);
  EXPECT_EQ(s->download_7_days, 1);
  EXPECT_EQ(s->convert_to_utf8, 0);
  EXPECT_EQ(LogDebugOn(), 0);
}

TEST(ReadConfig, FileWithoutDemuxLineRunsDetectionWhichFailsHere) {
  if (MachineHasDemux()) GTEST_SKIP() << "this machine has demux devices";
  ConfigRun run;
  EXPECT_EQ(run.Read("# only a comment\n\n   \t\n"), 1);
  Lines expected = {"Config file: " + run.conf};
  for (const auto &l : NoDeviceLines()) expected.push_back(l);
  expected.push_back("Error detecting demux. Try to enter manually");
  EXPECT_EQ(run.Messages(), expected);
  EXPECT_STREQ(ConfigSettings()->demux_path, "/dev/dvb/adapter0/demux15");
}

TEST(ReadConfig, EveryKeyAppliedWithItsMessageInFileOrder) {
  ConfigRun run;
  EXPECT_EQ(run.Read("# grabber settings\r\n"
                     "  debug \t=  1 \r\n"
                     "demux=/dev/dvb/adapter1/demux3\r\n"
                     "alias=1A:2B:3C,4D:5E:6F\r\n"
                     "alias = 0x10 : 20:30,  40:50:60 trailing\n"
                     "Download_7_Days=0\n"
                     "Download_3_Days=0\n"
                     "ConvertToUTF8=1\n"
                     "ParallelDownload=0\n"),
            0);
  EXPECT_EQ(run.Messages(), (Lines{"Config file: " + run.conf, "Enabling FULL debug log",
                                   "Changing demux to: /dev/dvb/adapter1/demux3",
                                   "Error in config file alias data. line 5. Ignoring line!!!!!",
                                   "Text will be converted to UTF-8",
                                   "1 alias readed from config file"}));
  RunSettings *s = ConfigSettings();
  EXPECT_STREQ(s->demux_path, "/dev/dvb/adapter1/demux3");
  EXPECT_EQ(s->download_7_days, 0);
  EXPECT_EQ(s->download_3_days, 0);
  EXPECT_EQ(s->convert_to_utf8, 1);
  EXPECT_EQ(s->parallel_download, 0);
  EXPECT_EQ(LogDebugOn(), 1);
  ASSERT_EQ(ConfigAliasCount(), 1);
  AliasEntry *a = ConfigAliasList();
  EXPECT_EQ(a->src_sid, 0x1Au);
  EXPECT_EQ(a->src_tsid, 0x2Bu);
  EXPECT_EQ(a->src_nid, 0x3Cu);
  EXPECT_EQ(a->dst_sid, 0x4Du);
  EXPECT_EQ(a->dst_tsid, 0x5Eu);
  EXPECT_EQ(a->dst_nid, 0x6Fu);
  /* The debug log got the alias line and the main log lines after "debug". */
  std::string debug = run.DebugLog();
  EXPECT_NE(debug.find("[config] alias: 1A:2B:3C -> 4D:5E:6F\n"), std::string::npos) << debug;
  EXPECT_NE(debug.find("Enabling FULL debug log\n"), std::string::npos);
  EXPECT_EQ(debug.find("Config file:"), std::string::npos);
}

TEST(ReadConfig, BadLinesAreReportedWithTheirLineNumbers) {
  ConfigRun run;
  EXPECT_EQ(run.Read("demux=/dev/null\n"          /* 1 */
                     "# comment counts\n"         /* 2 */
                     "\n"                         /* 3 */
                     "no equals sign\n"           /* 4 */
                     "DEBUG=1\n"                  /* 5 */
                     "debug=2\n"                  /* 6 */
                     "debug=yes\n"                /* 7 */
                     "debug=\n"                   /* 8 */
                     "Download_3_Days=-1\n"       /* 9 */
                     "Download_7_Days=x\n"        /* 10 */
                     "ConvertToUTF8=3\n"          /* 11 */
                     "alias=1A:2B:3C\n"           /* 12 */
                     "alias=1A :2B:3C,4D:5E:6F\n" /* 13 */
                     "Download_3_Days=0x\n"       /* 14: read as 0 */
                     "=1\n"                       /* 15 */
                     "ParallelDownload=on\n"),    /* 16 */
            0);
  EXPECT_EQ(run.Messages(),
            (Lines{"Config file: " + run.conf, "Changing demux to: /dev/null",
                   "Error in config file line 4. Ignoring line!!!!!",
                   "Error in config file. Unknown line 5. Ignoring!!!!!",
                   "Error in config file, line 6. Using default value",
                   "Error in config file, line 7. Using default value",
                   "Error in config file, line 8. Using default value",
                   "Error in config file, line 9. Using default value",
                   "Error in config file, line 10. Using default value",
                   "Error in config file, line 11. Using default value",
                   "Error in config file alias data. line 12. Ignoring line!!!!!",
                   "Error in config file alias data. line 13. Ignoring line!!!!!",
                   "Error in config file. Unknown line 15. Ignoring!!!!!",
                   "Error in config file, line 16. Using default value"}));
  EXPECT_EQ(LogDebugOn(), 0);
  EXPECT_EQ(ConfigSettings()->download_3_days, 0);
  EXPECT_EQ(ConfigSettings()->download_7_days, 1);
  EXPECT_EQ(ConfigSettings()->convert_to_utf8, 0);
  EXPECT_EQ(ConfigSettings()->parallel_download, 1);
  EXPECT_EQ(ConfigAliasCount(), 0);
}

TEST(ReadConfig, FlagValuesAsPercentD) {
  ConfigRun run;
  EXPECT_EQ(run.Read("demux=/dev/null\ndebug=1x\ndebug=0\nConvertToUTF8=+1\nConvertToUTF8=0\n"), 0);
  EXPECT_EQ(LogDebugOn(), 1); /* a later 0 does not switch it off */
  EXPECT_EQ(ConfigSettings()->convert_to_utf8, 0);
  EXPECT_EQ(run.Messages(), (Lines{"Config file: " + run.conf, "Changing demux to: /dev/null",
                                   "Enabling FULL debug log", "Text will be converted to UTF-8"}));
}

TEST(ReadConfig, IdenticalAliasesAreEachStored) {
  ConfigRun run;
  EXPECT_EQ(run.Read("demux=/dev/null\nalias=1:2:3,4:5:6\nalias=1:2:3,4:5:6\n"
                     "alias=FFFFFFFF:0:0,a:b:c\n"),
            0);
  EXPECT_EQ(ConfigAliasCount(), 3);
  AliasEntry *newest = ConfigAliasList();
  EXPECT_EQ(newest->src_sid, 0xFFFFFFFFu);
  EXPECT_EQ(newest->dst_nid, 0xCu);
  EXPECT_EQ(newest->next->src_sid, 1u);
  EXPECT_EQ(newest->next->next->dst_nid, 6u);
  EXPECT_EQ(run.Messages().back(), "3 alias readed from config file");
}

TEST(ReadConfig, NumbersThatDoNotFitTheirTypeAreRefused) {
  ConfigRun run;
  EXPECT_EQ(run.Read("demux=/dev/null\n"                 /* 1 */
                     "debug=4294967297\n"                /* 2: 1 in its low 32 bits */
                     "Download_7_Days=-4294967296\n"     /* 3: 0 in its low 32 bits */
                     "debug=99999999999999999999999\n"   /* 4 */
                     "alias=100000000:0:0,1:2:3\n"       /* 5 */
                     "alias=1:2:3,4:5:1FFFFFFFF\n"       /* 6 */
                     "alias=-1:0:0,1:2:3\n"              /* 7 */
                     "alias=0xFFFFFFFF:-0:0,0:0:0X1f41\n"), /* 8: fits */
            0);
  EXPECT_EQ(run.Messages(), (Lines{"Config file: " + run.conf, "Changing demux to: /dev/null",
                                   "Error in config file, line 2. Using default value",
                                   "Error in config file, line 3. Using default value",
                                   "Error in config file, line 4. Using default value",
                                   "Error in config file alias data. line 5. Ignoring line!!!!!",
                                   "Error in config file alias data. line 6. Ignoring line!!!!!",
                                   "Error in config file alias data. line 7. Ignoring line!!!!!",
                                   "1 alias readed from config file"}));
  EXPECT_EQ(LogDebugOn(), 0);
  EXPECT_EQ(ConfigSettings()->download_7_days, 1);
  ASSERT_EQ(ConfigAliasCount(), 1);
  EXPECT_EQ(ConfigAliasList()->src_sid, 0xFFFFFFFFu);
  EXPECT_EQ(ConfigAliasList()->dst_nid, 0x1F41u);
}

TEST(ReadConfig, LastDemuxLineDecides) {
  if (MachineHasDemux()) GTEST_SKIP() << "this machine has demux devices";
  {
    ConfigRun run;
    EXPECT_EQ(run.Read("demux=/dev/dvb/adapter0/demux2\ndemux=auto\n"), 1);
    Lines msgs = run.Messages();
    ASSERT_EQ(msgs.size(), 19u);
    EXPECT_EQ(msgs[1], "Changing demux to: /dev/dvb/adapter0/demux2");
    EXPECT_EQ(msgs[2], NoDeviceLines()[0]);
    EXPECT_EQ(msgs[18], "Error detecting demux. Try to enter manually");
  }
  {
    ConfigRun run;
    EXPECT_EQ(run.Read("demux=auto\ndemux=/dev/dvb/adapter0/demux2\n"), 0);
    EXPECT_EQ(run.Messages().size(), 2u);
    EXPECT_STREQ(ConfigSettings()->demux_path, "/dev/dvb/adapter0/demux2");
  }
  {
    ConfigRun run;
    EXPECT_EQ(run.Read("demux=AUTO\n"), 0);
    EXPECT_EQ(run.Messages().back(), "Changing demux to: AUTO");
  }
  {
    ConfigRun run;
    EXPECT_EQ(run.Read("demux=\n"), 0);
    EXPECT_EQ(run.Messages().back(), "Changing demux to: ");
    EXPECT_STREQ(ConfigSettings()->demux_path, "");
  }
}

TEST(ReadConfig, DemuxPathLongerThanTheBufferIsRefused) {
  ConfigRun run;
  std::string fits(255, 'p'), too_long(256, 'q');
  EXPECT_EQ(run.Read("demux=/dev/null\ndemux=" + too_long + "\ndemux=" + fits + "\n"), 0);
  EXPECT_EQ(run.Messages(),
            (Lines{"Config file: " + run.conf, "Changing demux to: /dev/null",
                   "Error in config file line 2. Demux path longer than 255 characters. Ignoring line!!!!!",
                   "Changing demux to: " + fits}));
  EXPECT_EQ(std::string(ConfigSettings()->demux_path), fits);
}

TEST(ReadConfig, OverlongLineIsReadInPieces) {
  ConfigRun run;
  /* 1023 characters of a comment, then the rest of the same physical line:
   * the second piece is a line of its own and is applied. */
  std::string line = "#" + std::string(1022, 'c') + "demux=/dev/piece" + std::string(461, ' ');
  ASSERT_EQ(line.size(), 1500u);
  EXPECT_EQ(run.Read(line + "\n" + std::string(1500, 'z') + "\ndebug=7\n"), 0);
  EXPECT_EQ(run.Messages(), (Lines{"Config file: " + run.conf, "Changing demux to: /dev/piece",
                                   "Error in config file line 3. Ignoring line!!!!!",
                                   "Error in config file line 4. Ignoring line!!!!!",
                                   "Error in config file, line 5. Using default value"}));
}

TEST(TrimLine, BlanksInFrontControlAndHighBytesAtTheEnd) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {" \t key = value \t\r\n", "key = value"},
      {"\r\nvalue", "\r\nvalue"},          /* only space and tab lead */
      {"abc\x01\x1f", "abc"},
      {"abc\x7f", "abc\x7f"},              /* DEL stays */
      {"abc\xe9\xff", "abc"},              /* 0x80..0xFF go from the end */
      {"caf\xe9 x", "caf\xe9 x"},          /* but not from the middle */
      {" \t \r\n", ""},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::vector<char> buf(c.in.begin(), c.in.end());
    buf.push_back(0);
    TrimLine(buf.data());
    EXPECT_EQ(std::string(buf.data()), c.out) << "input [" << c.in << "]";
  }
}

}  // namespace
