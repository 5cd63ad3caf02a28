/* The epgdb command on a guide database made by the library: the XMLTV
 * export validated against the XMLTV DTD, the listing and the summary, and
 * its errors. */
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "tarnwell/guide_db_helper.h"

namespace {

const std::string kEpgdb = std::string(MHW2_BUILD_DIR) + "/epgdb";
const std::string kXmltvDtd = "/usr/share/xmltv/xmltv.dtd";
/* 2030-01-01 00:00:00 UTC: far enough ahead that no save expires it. */
const uint32_t kT = 1893456000;

/* Runs epgdb with "args" in UTC; stdout (and stderr when "with_errors") in
 * "*out". Returns the exit code. */
int Epgdb(const std::string &args, std::string *out, bool with_errors = false) {
  return GuideCommand("TZ=UTC " + kEpgdb + " " + args + (with_errors ? " 2>&1" : " 2>/dev/null"),
                      out);
}

/* A guide with the texts an export has to take care of: ISO-8859-1 and
 * UTF-8 titles, markup characters, control bytes, a byte sequence that is
 * not UTF-8 under the UTF-8 flag, an empty summary, titles that are empty or
 * (non-breaking, Unicode) spaces only, and a channel name with markup. */
void MakeTrickyGuide(const GuideRoot &g) {
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  epgdb_channel_t *a = epgdb_channels_add(1, 1038, 29955);
  epgdb_channel_t *b = epgdb_channels_add(318, 0x44, 0x1F41);
  epgdb_channels_set_name(a, "Cine & <Cl\xC3\xA1sico>");
  GuideAddTitle(a, kT, 5400, "Pel\xED" "cula & <cine>",
                "Cine espa\xF1ol\n\nDos \"amigos\" \x01\x1b\x7f\x85viajan\r\na Par\xEDs.");
  GuideAddTitle(a, kT + 5400, 1800, "Noticias \xC3\xA9" "dition",
                "Noticias \xC3\xA9" "dition du soir\n\nEl d\xC3\xAD" "a en 30 minutos.", 1);
  GuideAddTitle(b, kT, 600, "Roto \xC3 \xED\xA0\x80 \xC2\x85" "fin", "", 1);
  GuideAddTitle(b, kT + 600, 0, "\x02\x03", "\n\nSolo resumen", 0);
  GuideAddTitle(b, kT + 1200, 60, "\xA0 \xA0", "Resumen\n\n\xA0", 0);
  GuideAddTitle(b, kT + 1800, 60, "\xE2\x80\x83\xC2\xA0", "\xE3\x80\x80\n\n", 1);
  ASSERT_EQ(epgdb_save(nullptr), 1);
  epgdb_close();
  epgdb_clean();
}

TEST(EpgdbXmltv, ExportIsValidXmltvWithCleanTexts) {
  GuideRoot g;
  MakeTrickyGuide(g);
  std::string before = GuideFileBytes(g.file);
  std::string xml;
  ASSERT_EQ(Epgdb("xmltv " + GuideShellQuote(g.root), &xml), 0);
  EXPECT_EQ(GuideFileBytes(g.file), before) << "the export changes nothing";
  std::string xml_path = g.dir + "/guide.xml";
  WriteFileText(xml_path, xml);

  /* Validated by the XMLTV tools and by libxml2 against the DTD. */
  ASSERT_EQ(access(kXmltvDtd.c_str(), R_OK), 0) << "xmltv-util is not installed";
  std::string out;
  EXPECT_EQ(GuideCommand("tv_validate_file --dtd-file " + kXmltvDtd + " " + xml_path + " 2>&1",
                         &out),
            0)
      << out << xml;
  EXPECT_NE(out.find("Validated ok."), std::string::npos) << out;
  /* The document names the DTD "xmltv.dtd": put it beside the document. */
  ASSERT_EQ(symlink(kXmltvDtd.c_str(), (g.dir + "/xmltv.dtd").c_str()), 0);
  EXPECT_EQ(GuideCommand("xmllint --noout --nonet --valid --dtdvalid " + kXmltvDtd + " " +
                             xml_path + " 2>&1",
                         &out),
            0)
      << out;
  EXPECT_EQ(out, "");

  /* Channel ids from the triple, in the XMLTV id form. */
  EXPECT_NE(xml.find("<channel id=\"1-1038-29955.mhw2.dvb\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<channel id=\"318-68-8001.mhw2.dvb\">"), std::string::npos) << xml;
  std::regex id_form("^[-a-zA-Z0-9]+(\\.[-a-zA-Z0-9]+)+$");
  std::regex channel_id("channel id=\"([^\"]*)\"");
  int channels = 0;
  for (std::sregex_iterator it(xml.begin(), xml.end(), channel_id), end; it != end; ++it, channels++)
    EXPECT_TRUE(std::regex_match((*it)[1].str(), id_form)) << (*it)[1];
  EXPECT_EQ(channels, 2);

  /* The broadcast name first, then the triple. */
  EXPECT_NE(xml.find("<channel id=\"1-1038-29955.mhw2.dvb\">\n"
                     "    <display-name>Cine &amp; &lt;Cl\xC3\xA1sico&gt;</display-name>\n"
                     "    <display-name>1:1038:29955</display-name>\n  </channel>\n"),
            std::string::npos);
  EXPECT_NE(xml.find("<channel id=\"318-68-8001.mhw2.dvb\">\n"
                     "    <display-name>318:68:8001</display-name>\n  </channel>\n"),
            std::string::npos);
  /* Times in UTC, texts decoded by their flag, escaped, without control
   * characters; the summary title as sub-title where it is another text,
   * as the title where it is the whole of the (cut) title, the summary text
   * as desc; no desc for an empty summary text. A title of spaces only takes
   * the summary title, else the placeholder. */
  const char *expected[] = {
      "<programme start=\"20300101000000 +0000\" stop=\"20300101013000 +0000\""
      " channel=\"1-1038-29955.mhw2.dvb\">\n"
      "    <title lang=\"es\">Pel\xC3\xAD" "cula &amp; &lt;cine&gt;</title>\n"
      "    <sub-title lang=\"es\">Cine espa\xC3\xB1ol</sub-title>\n"
      "    <desc lang=\"es\">Dos &quot;amigos&quot; viajan\na Par\xC3\xADs.</desc>\n"
      "  </programme>\n",
      "<programme start=\"20300101013000 +0000\" stop=\"20300101020000 +0000\""
      " channel=\"1-1038-29955.mhw2.dvb\">\n"
      "    <title lang=\"es\">Noticias \xC3\xA9" "dition du soir</title>\n"
      "    <desc lang=\"es\">El d\xC3\xAD" "a en 30 minutos.</desc>\n"
      "  </programme>\n",
      "<programme start=\"20300101000000 +0000\" stop=\"20300101001000 +0000\""
      " channel=\"318-68-8001.mhw2.dvb\">\n"
      "    <title lang=\"es\">Roto \xC3\x83 \xC3\xAD\xC2\xA0 fin</title>\n"
      "  </programme>\n",
      "<programme start=\"20300101001000 +0000\" stop=\"20300101001000 +0000\""
      " channel=\"318-68-8001.mhw2.dvb\">\n"
      "    <title lang=\"en\">(no title in the broadcast)</title>\n"
      "    <desc lang=\"es\">Solo resumen</desc>\n"
      "  </programme>\n",
      "<programme start=\"20300101002000 +0000\" stop=\"20300101002100 +0000\""
      " channel=\"318-68-8001.mhw2.dvb\">\n"
      "    <title lang=\"es\">Resumen</title>\n"
      "  </programme>\n",
      "<programme start=\"20300101003000 +0000\" stop=\"20300101003100 +0000\""
      " channel=\"318-68-8001.mhw2.dvb\">\n"
      "    <title lang=\"en\">(no title in the broadcast)</title>\n"
      "  </programme>\n",
  };
  for (const char *programme : expected) EXPECT_NE(xml.find(programme), std::string::npos) << programme << "\nin\n" << xml;
  for (unsigned char c : xml) {
    EXPECT_TRUE(c >= 0x20 || c == '\n') << "control byte " << (int)c;
  }
  EXPECT_EQ(xml.find("\xC2\x85"), std::string::npos) << "C1 control left in";
}

/* A guide that a hand edit or damage left with rows the library never
 * writes: a channel whose nid wraps onto a stored triple, a start far out of
 * range, a title whose text is gone, a text of 96 MiB. Every reader leaves
 * the same titles out and counts them on standard error: the export stays
 * valid, list and info agree, and memory stays far below the big text. */
TEST(EpgdbXmltv, DamagedRowsAreSkippedCountedAndTheExportStaysValid) {
  GuideRoot g;
  MakeTrickyGuide(g);
  auto at = [](uint32_t offset) { return std::to_string(kT + offset); };
  GuideSql(g.file, "INSERT INTO channels(nid, tsid, sid) VALUES(65537, 1038, 29955);"
                   "INSERT INTO titles SELECT max(id), " + at(0) + ", 60, 0, 0, 0, 'spa', 1, 1"
                   " FROM channels;"
                   "UPDATE titles SET start_time = -62135596801 WHERE start_time = " + at(600) + ";"
                   "UPDATE titles SET description_id = 999999 WHERE start_time = " + at(1200) + ";"
                   "INSERT INTO texts(hash, body) VALUES(0, zeroblob(96 << 20));"
                   "UPDATE titles SET long_description_id = last_insert_rowid()"
                   " WHERE start_time = " + at(1800) + ";");
  const std::string skipped = "skipped what the library never writes: 4 titles (1 of a channel id"
                              " over 16 bits, 1 with a start or length out of range, 1 whose text"
                              " is missing, 1 with a text over 1048576 bytes), 1 channels\n";
  std::string xml_path = g.dir + "/guide.xml", err_path = g.dir + "/stderr", out;
  ASSERT_EQ(GuideCommand("/usr/bin/time -f 'peak %M' " + kEpgdb + " xmltv " + GuideShellQuote(g.root) +
                             " >" + xml_path + " 2>" + err_path,
                         &out),
            0);
  std::string err = GuideFileBytes(err_path), xml = GuideFileBytes(xml_path);
  EXPECT_NE(err.find("epgdb: " + g.file + ": " + skipped), std::string::npos) << err;
  long peak_kib = atol(err.substr(err.rfind("peak ") + 5).c_str());
  EXPECT_GT(peak_kib, 0) << err;
  EXPECT_LT(peak_kib, 64 * 1024) << "the 96 MiB text was read";
  EXPECT_EQ(GuideCommand("tv_validate_file --dtd-file " + kXmltvDtd + " " + xml_path + " 2>&1", &out),
            0)
      << out << xml;
  size_t programmes = 0;
  for (size_t p = xml.find("<programme "); p != std::string::npos; p = xml.find("<programme ", p + 1))
    programmes++;
  EXPECT_EQ(programmes, 3u) << xml;
  EXPECT_EQ(xml.find("65537"), std::string::npos) << "a wrapped channel id came out";

  ASSERT_EQ(Epgdb("list " + GuideShellQuote(g.root), &out), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 6) << out << "two channel lines, a blank, three titles";
  ASSERT_EQ(Epgdb("info " + GuideShellQuote(g.root), &out, true), 0);
  EXPECT_NE(out.find("Channels: 2\nTitles: 3\n"), std::string::npos) << out;
  EXPECT_NE(out.find(skipped), std::string::npos) << out;
  /* The VDR export of the same file: the same three events. */
  ASSERT_EQ(Epgdb("vdr " + GuideShellQuote(g.root), &out), 0);
  size_t events = 0;
  for (const std::string &line : SplitLines(out)) events += line.compare(0, 2, "E ") == 0;
  EXPECT_EQ(events, 3u) << out;
}

TEST(EpgdbXmltv, ChannelIdsStayAcrossRuns) {
  GuideRoot g;
  MakeTrickyGuide(g);
  std::string first, second;
  ASSERT_EQ(Epgdb("xmltv " + GuideShellQuote(g.root), &first), 0);
  /* Another run adds a channel that sorts first and replaces a title. */
  ASSERT_EQ(epgdb_open(g.root.c_str()), 1);
  GuideAddTitle(epgdb_channels_add(0, 0, 1), kT, 60, "Nuevo", "");
  GuideAddTitle(epgdb_channels_add(1, 1038, 29955), kT, 60, "Cambio", "");
  ASSERT_EQ(epgdb_save(nullptr), 1);
  ASSERT_EQ(Epgdb("xmltv " + GuideShellQuote(g.root), &second), 0);
  EXPECT_NE(second.find("<channel id=\"0-0-1.mhw2.dvb\">"), std::string::npos);
  EXPECT_NE(second.find("<channel id=\"1-1038-29955.mhw2.dvb\">"), std::string::npos);
  EXPECT_NE(second.find("<channel id=\"318-68-8001.mhw2.dvb\">"), std::string::npos);
  EXPECT_NE(second.find("<title lang=\"es\">Cambio</title>"), std::string::npos);
  EXPECT_EQ(second.find("cula &amp;"), std::string::npos) << "the replaced title is gone";
}

TEST(EpgdbList, ListsByChannelAndTimeInLocalTime) {
  GuideRoot g;
  MakeTrickyGuide(g);
  std::string out;
  ASSERT_EQ(Epgdb("list " + GuideShellQuote(g.root), &out), 0);
  EXPECT_EQ(out,
            "Channel 1:1038:29955 Cine & <Cl\xC3\xA1sico>\n"
            "  2030-01-01 00:00   1:30  Pel\xC3\xAD" "cula & <cine> - Dos \"amigos\" viajan\n"
            "  2030-01-01 01:30   0:30  Noticias \xC3\xA9" "dition - El d\xC3\xAD" "a en 30 minutos.\n"
            "\n"
            "Channel 318:68:8001\n"
            "  2030-01-01 00:00   0:10  Roto \xC3\x83 \xC3\xAD\xC2\xA0 fin\n"
            "  2030-01-01 00:10   0:00   - Solo resumen\n"
            "  2030-01-01 00:20   0:01   - Resumen\n"
            "  2030-01-01 00:30   0:01  \n");
  /* One channel (hexadecimal ids), from a time inside the first title. */
  ASSERT_EQ(Epgdb("list " + GuideShellQuote(g.root) +
                      " --channel 318:0x44:0x1f41 --from '2030-01-01 00:05' --to '2030-01-01 00:10'",
                  &out),
            0);
  EXPECT_EQ(out, "Channel 318:68:8001\n  2030-01-01 00:00   0:10  Roto \xC3\x83 \xC3\xAD\xC2\xA0 fin\n");
  ASSERT_EQ(Epgdb("list " + GuideShellQuote(g.root) + " --from @" + std::to_string(kT + 5400) +
                      " --to 2030-01-02",
                  &out),
            0);
  EXPECT_EQ(out, "Channel 1:1038:29955 Cine & <Cl\xC3\xA1sico>\n"
                 "  2030-01-01 01:30   0:30  Noticias \xC3\xA9" "dition - El d\xC3\xAD" "a en 30 minutos.\n");
  /* Local time follows TZ. */
  ASSERT_EQ(GuideCommand("TZ=CET-1 " + kEpgdb + " list " + GuideShellQuote(g.root) +
                             " --channel 318:68:8001 --to @" + std::to_string(kT + 1),
                         &out),
            0);
  EXPECT_EQ(out, "Channel 318:68:8001\n  2030-01-01 01:00   0:10  Roto \xC3\x83 \xC3\xAD\xC2\xA0 fin\n");

  /* A filter that matches nothing says why on standard error, exit code 0. */
  const std::pair<std::string, std::string> nothing[] = {
      {"--channel 1:2:3", "epgdb: the guide holds no channel 1:2:3 ('epgdb info ROOT' lists its channels)\n"},
      {"--channel 0x13E:68:8001 --from 2030-01-01T00:31", "epgdb: no title of channel 318:68:8001 ends after "
                                                          "2030-01-01 00:31:00 UTC\n"},
      {"--from 2030-01-02 --to @" + std::to_string(kT),
       "epgdb: no title ends after 2030-01-02 00:00:00 UTC and starts before 2030-01-01 00:00:00 UTC\n"},
      {"--to 2029-12-31", "epgdb: no title starts before 2029-12-31 00:00:00 UTC\n"},
  };
  for (const auto &c : nothing) {
    ASSERT_EQ(Epgdb("list " + GuideShellQuote(g.root) + " " + c.first, &out, true), 0) << c.first;
    EXPECT_EQ(out, c.second) << "nothing but the reason, for " << c.first;
  }
}

TEST(EpgdbInfo, SummarisesTheGuide) {
  GuideRoot g;
  MakeTrickyGuide(g);
  std::string out;
  ASSERT_EQ(Epgdb("info " + GuideShellQuote(g.root), &out), 0);
  EXPECT_EQ(out, "Database: " + g.file +
                     "\n"
                     "Schema version: 3\n"
                     "Channels: 2\n"
                     "Titles: 6\n"
                     "From: 2030-01-01 00:00 UTC (MJD 62502)\n"
                     "To: 2030-01-01 02:00 UTC (MJD 62502)\n"
                     "Titles per channel (NID:TSID:SID titles from to name):\n"
                     "  1:1038:29955 2 2030-01-01 00:00 UTC 2030-01-01 02:00 UTC Cine & <Cl\xC3\xA1sico>\n"
                     "  318:68:8001 4 2030-01-01 00:00 UTC 2030-01-01 00:31 UTC\n");
  /* The file itself may be named instead of its root. */
  std::string again;
  ASSERT_EQ(Epgdb("info " + GuideShellQuote(g.file), &again), 0);
  EXPECT_EQ(again, out);
}

/* Missing and foreign databases and bad arguments: a message and exit code
 * 2, nothing on standard output; --help anywhere prints the usage of the
 * command, or of all without one. */
TEST(EpgdbErrors, ClearMessagesAndExitCodeTwo) {
  GuideRoot g;
  MakeTrickyGuide(g);
  std::string versioned = g.dir + "/v99";
  ASSERT_EQ(mkdir(versioned.c_str(), 0755), 0);
  GuideSql(versioned + "/guide.db", "CREATE TABLE t(x); PRAGMA user_version = 99;");
  std::string text_root = g.dir + "/text";
  ASSERT_EQ(mkdir(text_root.c_str(), 0755), 0);
  WriteFileText(text_root + "/guide.db", "not a database at all\n");
  std::string root = GuideShellQuote(g.root);
  struct Case {
    std::string args;
    std::string message;
  };
  const Case cases[] = {
      {"info " + GuideShellQuote(g.dir + "/nowhere"), "no guide database at"},
      {"xmltv " + GuideShellQuote(versioned), "schema version 99, expected 1 to"},
      {"list " + GuideShellQuote(text_root), "not a guide database"},
      {"", "Usage: epgdb"},
      {"dump " + root, "unknown command 'dump'"},
      {"info", "info needs the database ROOT"},
      {"info " + root + " extra", "unexpected argument 'extra'"},
      {"list " + root + " --channel 1:2", "bad channel '1:2'"},
      {"list " + root + " --channel 1:2:70000", "bad channel '1:2:70000'"},
      {"list " + root + " --channel 1:2:3:4", "bad channel"},
      {"list " + root + " --channel 010:x:3", "bad channel"},
      {"list " + root + " --from yesterday", "bad time 'yesterday'"},
      {"list " + root + " --to '2030-13-01'", "bad time"},
      {"list " + root + " --to '2030-01-01 25:00'", "bad time"},
      {"list " + root + " --to", "--to needs a value"},
      {"list " + root + " --all", "unexpected argument '--all'"},
  };
  for (const Case &c : cases) {
    std::string out, both;
    EXPECT_EQ(Epgdb(c.args, &out), 2) << c.args;
    EXPECT_EQ(out, "") << c.args;
    Epgdb(c.args, &both, true);
    EXPECT_NE(both.find(c.message), std::string::npos) << c.args << " said: " << both;
  }
  /* The whole help, or one command's. */
  const std::pair<std::string, std::string> helps[] = {
      {"--help", "Usage: epgdb COMMAND ROOT"},          {"list --help", "Usage: epgdb list ROOT [--channel"},
      {"xmltv /nowhere -h", "Usage: epgdb xmltv ROOT"}, {"info -h", "Usage: epgdb info ROOT"},
      {"vdr --help", "Usage: epgdb vdr ROOT"},          {"dump --help", "Usage: epgdb COMMAND ROOT"},
  };
  for (const auto &help : helps) {
    std::string out;
    EXPECT_EQ(Epgdb(help.first, &out), 0) << help.first;
    EXPECT_EQ(out.rfind(help.second, 0), 0u) << help.first << " said: " << out;
    EXPECT_NE(out.find("\nExit codes: 0 done"), std::string::npos) << help.first;
  }
}

}  // namespace
