/* Grabs of a hand-written guide whose entries meet the grabber's rules one by
 * one: duplicates, the 7-day merge, shared and orphaned summaries, invalid
 * channel ids, continuation sections, cut titles, a wrapped length, local
 * midnight, aliases. Some titles are checked by hand besides the simulator's
 * expectation, so that a slip shared by simulator and grabber still shows;
 * the XMLTV and VDR exports of the grab take title and sub-title apart. */
#include <gtest/gtest.h>

#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {

/* The guide, with "D0", "D1" and "D5" replaced by today and the days after it. */
const char kGuide[] =
    "channel \"Canal Uno\" nid=0x0001 tsid=0x0400 sid=0x1F41\n"
    "channel \"Cine Cl\\xE1sico\" nid=0x0001 tsid=0x0400 sid=0x1F44\n"
    "channel \"Tele\\xF1orte\" nid=0x0002 tsid=0x0500 sid=0x0101\n"
    "summary news id3=0x0010 id7=0x010010 title=\"Telediario\"\n"
    "line \"La actualidad nacional.\"\n"
    "line \"Con el tiempo.\"\n"
    "text7 \"Texto semanal que no debe ganar.\"\n"
    "summary shared id3=0x0020 id7=0x010020 title=\"Serie\"\n"
    "line \"Cap\\xEDtulo repetido.\"\n"
    "summary only7 id7=0x010030 title=\"Cine de la semana\"\n"
    "text7 \"Una pel\\xEDcula de estreno.\"\n"
    "summary orphan id3=0x0040 title=\"Sin evento\"\n"
    "line \"Nadie la usa.\"\n"
    "summary via3 id3=0x0050 title=\"Avance\"\n"
    "line \"Solo por el identificador de tres d\\xEDas.\"\n"
    "summary empty id3=0x0060 title=\"\"\n"
    "summary gala id3=0x0080 id7=0x010080 title=\"Gala de fin de a\\xF1o desde el Teatro Real, con la orquesta y el coro\"\n"
    "line \"Valses.\"\n"
    "summary long3 id3=0x0070 title=\"Largo\"\n"
    "line \"L1\"\nline \"L2\"\nline \"L3\"\nline \"L4\"\nline \"L5\"\nline \"L6\"\nline \"L7\"\nline \"L8\"\n"
    "line \"L9\"\nline \"L10\"\nline \"L11\"\nline \"L12\"\nline \"L13\"\nline \"L14\"\nline \"L15\"\n"
    "line \"L16\"\nline \"L17\"\n"
    "event ch=0 start=D0T20:30 dur=30 title=\"Telediario\" summary=news\n"
    "event ch=0 start=D0T21:00 dur=90 title=\"Serie A\" summary=shared\n"
    "event ch=0 start=D1T21:00 dur=90 title=\"Serie A\" summary=shared\n"
    "event ch=1 start=D0T20:00 dur=120 title=\"Serie A\" summary=shared\n"
    "event ch=0 start=D0T23:00 dur=60 id=0x100 tables=3 title=\"Primero\"\n"
    "event ch=0 start=D0T23:00 dur=60 id=0x101 tables=3 title=\"Segundo\"\n"
    "event ch=1 start=D0T23:30 dur=30 id=0x200 tables=3 title=\"Tres d\\xEDas\"\n"
    "event ch=1 start=D0T23:30 dur=45 id=0x201 tables=7 title=\"Siete d\\xEDas\"\n"
    "event ch=1 start=D1T10:00 dur=60 id=0x300 tables=3 title=\"Fusionado\"\n"
    "event ch=1 start=D1T10:00 dur=60 id=0x300 tables=7 sid=0x010030 title=\"Fusionado\"\n"
    "event ch=2 start=D5T12:00 dur=1100 tables=7 summary=only7 "
    "title=\"Cine: una pel\\xEDcula con un t\\xEDtulo tan largo que no cabe entero en la gu\\xEDa\"\n"
    "event ch=2 start=D0T09:15 dur=25 sid=0x010050 sid3=0x0050 title=\"Noticias\"\n"
    "event ch=2 start=D0T10:00 dur=10 title=\"Vac\\xEDo\" summary=empty\n"
    "event ch=2 start=D1T08:00 dur=60 title=\"Largo\" summary=long3\n"
    "event ch=0 start=D1T22:30 dur=60 title=\"Gala de fin de a\\xF1o desde el Teatro Real, con la orquesta y el coro\" "
    "summary=gala\n"
    "event ch=0 start=D0T09:00 dur=30 title=\"Sin resumen\"\n"
    "event ch=0 start=D1T07:00:45 dur=15 title=\"Segundos\"\n"
    "event ch=5 start=D0T12:00 dur=30 tables=3 title=\"Fantasma\"\n"
    "event ch=7 start=D1T12:00 dur=30 tables=7 title=\"Fantasma siete\"\n";

std::string DayPlus(int days) {
  time_t t = time(nullptr) + (time_t)days * 86400;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof(buf), "%Y-%m-%d", &tm);
  return buf;
}

std::string GuideText() {
  std::string text = kGuide;
  const char *const marks[] = {"D0T", "D1T", "D5T"};
  const int days[] = {0, 1, 5};
  for (int k = 0; k < 3; k++)
    for (size_t p; (p = text.find(marks[k])) != std::string::npos;) text.replace(p, 2, DayPlus(days[k]));
  return text;
}

/* The stored row of channel "triple" (NID:TSID:SID) whose description is
 * "title" (escaped as in the expectation), or "". */
std::string RowOf(const std::string &rows, const std::string &triple, const std::string &title) {
  for (const auto &line : SplitLines(rows)) {
    if (line.compare(0, triple.size(), triple) != 0) continue;
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      f.push_back(line.substr(start, tab - start));
    f.push_back(line.substr(start));
    if (f.size() == 9 && f[7] == title) return line;
  }
  return "";
}

std::string Field(const std::string &row, int index) {
  size_t start = 0;
  for (int i = 0; i < index; i++) start = row.find('\t', start) + 1;
  return row.substr(start, row.find('\t', start) - start);
}

TEST(SimGuideFile, EveryRuleOfTheGrabLandsInTheDatabase) {
  GrabDir g("guide");
  WriteFileText(g.dir + "/hand.guide", GuideText());
  SimExpectation e;
  const std::string alias = "1F44:400:1,101:500:2"; /* Cine Clásico also under Teleñorte's ids */
  ASSERT_TRUE(SimGenerate(g.dir, "--guide " + g.dir + "/hand.guide --mid-cycle", "--alias " + alias, &e));
  g.WriteConfig("debug=1\ndemux=" + e.stream + "\nalias=" + alias + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  EXPECT_EQ(r.exit_code, 0);
  SimCheckStatusLines(r.out, g.name, e);
  SimCheckDebugLog(r, e);
  std::string stored = SimDumpDatabase(g.root);
  SimCheckRows(e.rows, stored);

  auto msgs = LogMessages(r.log);
  EXPECT_TRUE(HasLine(msgs, "ProcessMHW2Events3days() - Invalid channel id received: 5 (ignoring)")) << r.log;
  EXPECT_TRUE(HasLine(msgs, "ProcessMHW2Events() - Invalid channel id received: 7 (ignoring)")) << r.log;
  EXPECT_EQ(SimCount(r.debug_log, "AddEvent3days() - WARNING: REPEATED EVENT FOUND IN EVENT LIST. IGNORING.\n"), 1);
  EXPECT_EQ(SimCount(r.debug_log, "AddEvent() - WARNING: SAME EVENT WITH DIFFERENT EVENTID. IGNORING.\n"), 1);
  EXPECT_EQ(SimCount(r.debug_log, "AddSummary() - summary_id: 0040 - not found\n"), 1);
  EXPECT_EQ(SimCount(r.debug_log, "AddSummary() - summary_id: 0020 - found 3 time(s) - repeated 0 times\n"), 1);

  const std::string uno = "0001:0400:1F41", cine = "0001:0400:1F44", norte = "0002:0500:0101";
  /* The 3-day summary wins over the 7-day text of the same programme. */
  EXPECT_EQ(Field(RowOf(stored, uno, "Telediario"), 8), "Telediario\\n\\nLa actualidad nacional. Con el tiempo.");
  /* Of two entries for one start, the first stays. */
  EXPECT_NE(RowOf(stored, uno, "Primero"), "");
  EXPECT_EQ(RowOf(stored, uno, "Segundo"), "");
  /* A 7-day entry with another event id at a known start is dropped. */
  std::string tres = RowOf(stored, cine, "Tres d\\xEDas");
  EXPECT_EQ(Field(tres, 2), "1800");
  EXPECT_EQ(RowOf(stored, cine, "Siete d\\xEDas"), "");
  /* 23:30 UTC is past midnight in the local zone (one or two hours east):
   * event_id counts the minutes of the month from the local start. */
  time_t start = (time_t)atol(Field(tres, 1).c_str());
  struct tm utc, local;
  gmtime_r(&start, &utc);
  const char *zone = getenv("TZ");
  std::string saved = zone ? zone : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  localtime_r(&start, &local);
  if (zone) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
  EXPECT_NE(local.tm_mday, utc.tm_mday);
  EXPECT_EQ(Field(tres, 3), std::to_string((local.tm_mday * 24 + local.tm_hour) * 60 + local.tm_min));
  /* The 7-day merge hands its summary id to the 3-day event. */
  EXPECT_EQ(Field(RowOf(stored, cine, "Fusionado"), 8), "Cine de la semana\\n\\nUna pel\\xEDcula de estreno.");
  /* A 7-day title is cut to 63 bytes; 1100 minutes wrap to 464 seconds. */
  std::string cut = RowOf(stored, norte, "Cine: una pel\\xEDcula con un t\\xEDtulo tan largo que no cabe entero e");
  EXPECT_NE(cut, "") << stored;
  EXPECT_EQ(Field(cut, 2), "464");
  /* A summary that matches only through the 3-day summary id. */
  EXPECT_EQ(Field(RowOf(stored, norte, "Noticias"), 8), "Avance\\n\\nSolo por el identificador de tres d\\xEDas.");
  /* Empty summary title and text; an event without summary. */
  EXPECT_EQ(Field(RowOf(stored, norte, "Vac\\xEDo"), 8), "\\n\\n");
  EXPECT_EQ(Field(RowOf(stored, uno, "Sin resumen"), 8), "Sin resumen\\n\\n");
  /* A continuation section is dropped: the text holds the first 15 lines. */
  EXPECT_EQ(Field(RowOf(stored, norte, "Largo"), 8), "Largo\\n\\nL1 L2 L3 L4 L5 L6 L7 L8 L9 L10 L11 L12 L13 L14 L15");
  /* The seconds byte is not part of the start. */
  EXPECT_EQ(std::stol(Field(RowOf(stored, uno, "Segundos"), 1)) % 60, 0);
  /* The shared summary reaches all three repeats, and the alias copies
   * Cine Clásico's titles under Teleñorte's ids. */
  EXPECT_EQ(SimCount(stored, "\tSerie A\tSerie\\n\\nCap\\xEDtulo repetido.\n"), 4);
  EXPECT_NE(RowOf(stored, norte, "Tres d\\xEDas"), "");
  EXPECT_EQ(RowOf(stored, uno, "Fantasma"), "");
  EXPECT_EQ(e.Stat("summaries_without_event"), 0); /* the 7-day pass's count, which has no orphan */

  /* Exports: a summary title that is the whole of the cut title becomes the
   * title; one that the title starts with ("Serie" of "Serie A") is dropped;
   * another text is the sub-title (XMLTV) or short text (VDR's S line). */
  const std::string gala = "Gala de fin de a\xC3\xB1o desde el Teatro Real, con la orquesta y el coro";
  const std::string cut_title =
      "Cine: una pel\xC3\xAD"
      "cula con un t\xC3\xAD"
      "tulo tan largo que no cabe entero e";
  std::string xml = ShellOutput(std::string(MHW2_BUILD_DIR) + "/epgdb xmltv " + g.root);
  WriteFileText(g.dir + "/guide.xml", xml);
  std::string verdict =
      ShellOutput("tv_validate_file --dtd-file /usr/share/xmltv/xmltv.dtd " + g.dir + "/guide.xml 2>&1");
  EXPECT_NE(verdict.find("Validated ok."), std::string::npos) << verdict;
  EXPECT_NE(xml.find("<title lang=\"es\">" + gala + "</title>\n    <desc lang=\"es\">Valses.</desc>\n"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<title lang=\"es\">" + cut_title +
                     "</title>\n    <sub-title lang=\"es\">Cine de la semana</sub-title>\n"),
            std::string::npos);
  EXPECT_EQ(
      SimCount(xml, "<title lang=\"es\">Serie A</title>\n    <desc lang=\"es\">Cap\xC3\xADtulo repetido.</desc>\n"), 4);
  /* Cine de la semana of Fusionado (twice: the alias) and of the cut title,
   * Avance of Noticias. */
  EXPECT_EQ(SimCount(xml, "<sub-title"), 4) << xml;
  std::string vdr = ShellOutput(std::string(MHW2_BUILD_DIR) + "/epgdb vdr " + g.root);
  EXPECT_NE(vdr.find("\nT " + gala + "\nD Valses.\ne\n"), std::string::npos) << vdr;
  EXPECT_NE(vdr.find("\nT " + cut_title +
                     "\nS Cine de la semana\nD Una pel\xC3\xAD"
                     "cula de estreno.\ne\n"),
            std::string::npos);
  EXPECT_EQ(SimCount(vdr, "\nT Serie A\nD Cap\xC3\xADtulo repetido.\ne\n"), 4);
}

}  // namespace
