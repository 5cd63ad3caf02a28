/* The guide in a real VDR: VDR runs headless as a child of the test, with
 * its configuration, video and cache folders in the test's folder and a
 * SAT>IP device plugin standing in for DVB hardware; the guide is grabbed
 * from a simulated broadcast, pushed with "epgdb vdr --svdrp", and what VDR
 * lists afterwards must be what guide.db holds. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/sim_helpers.h"
#include "epgdb.h"
#include "support/run_helper.h"

namespace {

const char kVdr[] = "/usr/bin/vdr";

/* VDR's channels: two of the simulated guide's three channels (the second
 * on another source and with a radio id, which its channel id must carry)
 * and one channel the guide lacks. */
const char kChannelsConf[] =
    "Canal Uno;Prueba:11000:HC34M2S0:S19.2E:27500:0:0:0:0:8001:1:1024:0\n"
    "Canal Dos;Prueba:11000:HC34M2S0:S30W:27500:0:0:0:0:8004:1:1024:5\n"
    "Sin Guía;Prueba:11000:HC34M2S0:S19.2E:27500:0:0:0:0:9000:1:1024:0\n";

struct VdrChannel {
  std::string id;
  unsigned nid, tsid, sid;
};
const std::vector<VdrChannel> kMatched = {{"S19.2E-1-1024-8001", 1, 1024, 8001},
                                          {"S30W-1-1024-8004-5", 1, 1024, 8004}};

/* A port on 127.0.0.1 that nothing listens on right now. */
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

/* A connected socket to 127.0.0.1:"port" whose reads give up after
 * "timeout_s" seconds, or -1. */
int Connect(int port, int timeout_s) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct timeval tv = {timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, (struct sockaddr *)&a, sizeof a) == 0) return fd;
  close(fd);
  return -1;
}

/* Everything VDR answers to "commands" followed by QUIT, up to its close,
 * without carriage returns. */
std::string Svdrp(int port, const std::string &commands) {
  int fd = Connect(port, 30);
  if (fd < 0) return "(no connection)";
  std::string all = commands + "QUIT\r\n", out;
  if (write(fd, all.data(), all.size()) != (ssize_t)all.size()) out = "(write failed)";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    for (ssize_t i = 0; i < n; i++)
      if (buf[i] != '\r') out += buf[i];
  }
  close(fd);
  return out;
}

/* A VDR started for one test, stopped by its process id when it goes. */
struct Vdr {
  pid_t pid = -1;
  int port = 0;
  std::string dir;
  Vdr() = default;
  Vdr(const Vdr &) = delete;
  Vdr &operator=(const Vdr &) = delete;
  ~Vdr() { Stop(); }
  std::string Output() const { return ReadFileText(dir + "/vdr.out"); }
  /* SIGTERM, then SIGKILL when VDR has not ended after 20 seconds. */
  void Stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; i++) usleep(100000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
  }
};

/* Starts VDR in "dir" with "channels" as channels.conf, "hosts" as
 * svdrphosts.conf and the locale "locale" (which sets the character set VDR
 * announces), and waits at most 30 seconds until SVDRP answers. Returns
 * false, with a test failure that shows VDR's output, when it does not. */
bool VdrStart(const std::string &dir, const std::string &channels, const std::string &hosts,
              const std::string &locale, Vdr *vdr) {
  if (access(kVdr, X_OK) != 0) {
    ADD_FAILURE() << kVdr << " is missing: 'make deps' installs the Debian packages vdr and vdr-plugin-satip";
    return false;
  }
  vdr->dir = dir;
  vdr->port = FreePort();
  for (const char *sub : {"", "/conf", "/video", "/cache"}) mkdir((dir + sub).c_str(), 0755);
  WriteFileText(dir + "/conf/channels.conf", channels);
  WriteFileText(dir + "/conf/svdrphosts.conf", hosts);
  WriteFileText(dir + "/conf/sources.conf", ReadFileText("/etc/vdr/sources.conf"));
  /* No EPG scan (it would tune the device); ended programmes stay listed
   * for two days, so that a guide that starts at midnight stays whole. */
  WriteFileText(dir + "/conf/setup.conf", "EPGScanTimeout = 0\nEPGLinger = 2880\nSVDRPPeering = 0\n");
  std::vector<std::string> args = {kVdr, "-c", dir + "/conf", "-v", dir + "/video", "--cachedir=" + dir + "/cache",
                                   "-L", "/usr/lib/vdr/plugins",
                                   /* One SAT>IP device; a server named on the loopback address
                                    * keeps the plugin from searching the network for one. */
                                   "-P", "satip -d 1 -s 127.0.0.1:1|DVBS2-1|Loopback", "--no-kbd", "-p",
                                   std::to_string(vdr->port), "-u", "root"};
  std::vector<std::string> env = GrabEnvironment({"LC_ALL=" + locale, "LANG=" + locale});
  vdr->pid = fork();
  if (vdr->pid == 0) {
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back((char *)a.c_str());
    for (auto &e : env) envp.push_back((char *)e.c_str());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    FILE *out = fopen((dir + "/vdr.out").c_str(), "w");
    FILE *in = fopen("/dev/null", "r");
    if (!out || !in) _exit(127);
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(out), 2);
    execve(kVdr, argv.data(), envp.data());
    _exit(127);
  }
  for (int i = 0; i < 300; i++) {
    int status = 0;
    if (waitpid(vdr->pid, &status, WNOHANG) == vdr->pid) {
      vdr->pid = -1;
      ADD_FAILURE() << "VDR ended at start (status " << status << "):\n" << vdr->Output();
      return false;
    }
    int fd = Connect(vdr->port, 5);
    if (fd >= 0) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      close(fd);
      if (n > 0) return true;
    }
    usleep(100000);
  }
  ADD_FAILURE() << "VDR's SVDRP did not answer on port " << vdr->port << " within 30 seconds:\n" << vdr->Output();
  return false;
}

/* One event as VDR lists it. */
struct VdrEvent {
  std::string id, start, duration, table, title, short_text, description;
  bool operator==(const VdrEvent &o) const {
    return start == o.start && duration == o.duration && title == o.title && short_text == o.short_text &&
           description == o.description;
  }
};

std::string Show(const VdrEvent &e) {
  return e.start + " " + e.duration + " T=" + e.title + " S=" + e.short_text + " D=" + e.description;
}

/* The events VDR lists for the channel "id" (LSTE). */
std::vector<VdrEvent> VdrSchedule(int port, const std::string &id) {
  std::vector<VdrEvent> events;
  for (const std::string &line : SplitLines(Svdrp(port, "LSTE " + id + "\r\n"))) {
    if (line.compare(0, 4, "215-") != 0 || line.size() < 5) continue;
    std::string text = line.size() > 6 ? line.substr(6) : "";
    char tag = line[4];
    if (tag == 'E') {
      VdrEvent e;
      std::istringstream fields(text);
      fields >> e.id >> e.start >> e.duration >> e.table;
      events.push_back(e);
    } else if (!events.empty() && tag == 'T') {
      events.back().title = text;
    } else if (!events.empty() && tag == 'S') {
      events.back().short_text = text;
    } else if (!events.empty() && tag == 'D') {
      events.back().description = text;
    }
  }
  return events;
}

/* "size" bytes at "text" with "flags" as UTF-8, without blanks around. */
std::string Utf8(const char *text, size_t size, uint8_t flags) {
  char *utf8 = epgdb_text_utf8(text, size, flags, nullptr);
  std::string s = utf8 ? utf8 : "";
  free(utf8);
  size_t first = s.find_first_not_of(" \n");
  return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \n") - first + 1);
}

/* The titles guide.db at "root" holds for "channel" that start before "to"
 * (0: all), as VDR should list them: the summary title as short text when it
 * is another text, as title when it is the whole of the title, the summary
 * text as description with '|' for its line breaks. */
std::vector<VdrEvent> GuideSchedule(const std::string &root, const VdrChannel &channel, int64_t to = 0) {
  std::vector<VdrEvent> events;
  char why[256];
  epgdb_reader_t *r = epgdb_reader_open(root.c_str(), why, sizeof why);
  if (!r) {
    ADD_FAILURE() << why;
    return events;
  }
  epgdb_title_filter_t filter = {};
  filter.by_channel = 1;
  filter.nid = (uint16_t)channel.nid;
  filter.tsid = (uint16_t)channel.tsid;
  filter.sid = (uint16_t)channel.sid;
  filter.has_to = to != 0;
  filter.to = to;
  epgdb_title_row_t t;
  EXPECT_TRUE(epgdb_reader_titles(r, &filter));
  while (epgdb_reader_next_title(r, &t) == 1) {
    std::string summary(t.long_description, t.long_description_size);
    size_t split = summary.find("\n\n");
    VdrEvent e;
    e.start = std::to_string(t.start_time);
    e.duration = std::to_string(t.length);
    e.title = Utf8(t.description, t.description_size, t.flags);
    e.short_text = Utf8(summary.data(), split, t.flags);
    /* A summary title that starts with the (cut) title is the title;
     * one that is the start of the title is no short text. */
    if (e.short_text.size() >= e.title.size() && e.short_text.substr(0, e.title.size()) == e.title)
      e.title = e.short_text;
    if (e.title.substr(0, e.short_text.size()) == e.short_text) e.short_text.clear();
    e.description = Utf8(summary.data() + split + 2, summary.size() - split - 2, t.flags);
    for (char &c : e.description)
      if (c == '\n') c = '|';
    events.push_back(e);
  }
  epgdb_reader_close(r);
  return events;
}

/* Fails unless VDR lists for every matched channel exactly the titles of
 * guide.db, as external data (table id 0) with ids unique in the channel.
 * Returns the ids by channel and start. */
std::map<std::string, std::string> CheckVdrHoldsGuide(int port, const std::string &root) {
  std::map<std::string, std::string> ids;
  for (const VdrChannel &c : kMatched) {
    std::vector<VdrEvent> want = GuideSchedule(root, c), got = VdrSchedule(port, c.id);
    /* VDR may still be busy with its schedules right after a push (seen
     * once under the sanitizers): ask again for a few seconds. */
    for (int tries = 0; got.size() != want.size() && tries < 20; tries++) {
      usleep(250 * 1000);
      got = VdrSchedule(port, c.id);
    }
    EXPECT_GT(want.size(), 10u) << c.id;
    EXPECT_EQ(got.size(), want.size()) << c.id;
    std::set<std::string> unique;
    for (size_t i = 0; i < got.size() && i < want.size(); i++) {
      EXPECT_TRUE(got[i] == want[i]) << c.id << " event " << i << "\n  VDR:      " << Show(got[i])
                                     << "\n  guide.db: " << Show(want[i]);
      EXPECT_EQ(got[i].table, "0") << c.id << " " << Show(got[i]);
      EXPECT_TRUE(unique.insert(got[i].id).second) << c.id << " repeats the event id " << got[i].id;
      ids[c.id + "@" + got[i].start] = got[i].id;
    }
  }
  return ids;
}

/* Runs "epgdb vdr" with "args"; its output and errors go to "out" and "err". */
int EpgdbVdr(const GrabDir &g, const std::string &args, std::string *out, std::string *err) {
  int rc = SimShell(std::string(MHW2_BUILD_DIR) + "/epgdb vdr " + args + " >" + g.dir + "/epgdb.out 2>" + g.dir +
                    "/epgdb.err");
  *out = ReadFileText(g.dir + "/epgdb.out");
  *err = ReadFileText(g.dir + "/epgdb.err");
  return rc;
}

/* A UTC date "days" days from today, as YYYY-MM-DD. */
std::string Day(int days) {
  time_t t = time(nullptr) + days * 86400;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[16];
  strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  return buf;
}

/* A title longer than the 63 bytes an event entry holds; its summary
 * carries it whole. */
const std::string kLongTitle = "Concierto de A\\xF1o Nuevo desde la Sala Dorada, con la orquesta y el ballet";

/* Tomorrow's programmes moved on the guide's first two channels, in
 * ISO-8859-1, with a summary title that is not the title, one that is the
 * whole of a cut title, and a summary text with a line break; "extra" adds
 * event lines. */
std::string ChangedGuide(const std::string &extra = "") {
  std::string d = Day(1);
  return "channel \"Canal Uno\" nid=0x0001 tsid=0x0400 sid=0x1F41\n"
         "channel \"Canal Dos\" nid=0x0001 tsid=0x0400 sid=0x1F44\n"
         "channel \"Tele\\xF1orte\" nid=0x0001 tsid=0x0400 sid=0x1F47\n"
         "summary cine id3=0x0010 id7=0x010010 title=\"Pel\\xEDcula: \\xD1and\\xFA y el c\\xF3ndor\"\n"
         "line \"Primera l\\xEDnea del resumen.\\nSegunda l\\xEDnea, tras un salto.\"\n"
         "summary docu id3=0x0011 id7=0x010011 title=\"Documental de la ma\\xF1ana\"\n"
         "line \"Naturaleza ib\\xE9rica en oto\\xF1o.\"\n"
         "summary gala id3=0x0012 id7=0x010012 title=\"" + kLongTitle + "\"\n"
         "line \"Valses y polcas.\"\n"
         "event ch=0 start=" + d + "T10:07 dur=95 title=\"Pel\\xEDcula: \\xD1and\\xFA y el c\\xF3ndor\" summary=cine\n"
         "event ch=0 start=" + d + "T11:42 dur=50 title=\"Noticias\"\n"
         "event ch=1 start=" + d + "T09:13 dur=61 title=\"Naturaleza\" summary=docu\n"
         "event ch=0 start=" + d + "T12:32 dur=40 title=\"" + kLongTitle + "\" summary=gala\n" + extra;
}

/* Grabs the simulated broadcast of "guide_args" into g.root. */
void Grab(const GrabDir &g, const std::string &sub, const std::string &guide_args, bool utf8) {
  SimExpectation e;
  ASSERT_EQ(SimShell("mkdir -p " + g.dir + "/" + sub), 0);
  ASSERT_TRUE(SimGenerate(g.dir + "/" + sub, guide_args, utf8 ? "--utf8" : "", &e));
  g.WriteConfig("demux=" + e.stream + "\nConvertToUTF8=" + (utf8 ? "1" : "0") + "\n");
  GrabResult r = g.Run({g.root}, {SIM_TZ});
  ASSERT_EQ(r.exit_code, 0) << r.log;
  ASSERT_TRUE(HasLine(LogMessages(r.log), "Data saved")) << r.log;
}

/* A random guide of "channels" channels from today on, a third of its
 * titles longer than their summary titles. */
std::string RandomGuide(int channels) {
  return "--random --channels " + std::to_string(channels) +
         " --days 3 --events-per-day 16 --long-titles 0.3 --seed 9 --start " + SimToday();
}

}  // namespace

/* A pushed guide equals guide.db in VDR; pushing it again duplicates nothing
 * and keeps every event id; after a grab that moved programmes (and stored
 * ISO-8859-1 texts) VDR again holds exactly guide.db, accents and line breaks
 * as VDR writes them; the printed form is EPG data VDR takes by hand. */
TEST(VdrPush, VdrHoldsTheGuideAfterEveryPush) {
  GrabDir g("vdrpush");
  Vdr vdr;
  ASSERT_TRUE(VdrStart(g.dir + "/vdr", kChannelsConf, "127.0.0.1\n", "C.UTF-8", &vdr));
  const std::string target = "127.0.0.1:" + std::to_string(vdr.port);
  ASSERT_NO_FATAL_FAILURE(Grab(g, "random", RandomGuide(3), true));

  std::string out, err;
  ASSERT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 0) << err;
  size_t sent = GuideSchedule(g.root, kMatched[0]).size() + GuideSchedule(g.root, kMatched[1]).size();
  EXPECT_EQ(out, "Sent " + std::to_string(sent) + " titles of 2 channels to VDR at " + target +
                     "; channels of the guide not in VDR's channel list: 1\n");
  size_t missing = GuideSchedule(g.root, {"", 1, 1024, 8007}).size();
  EXPECT_EQ(err, "epgdb: channel 1:1024:8007 (Tele\xC3\xB1orte) is not in the channel list of VDR at " + target + "; its " +
                     std::to_string(missing) + " titles are not sent\n");
  std::map<std::string, std::string> first = CheckVdrHoldsGuide(vdr.port, g.root);
  EXPECT_NE(Svdrp(vdr.port, "LSTE S19.2E-1-1024-9000\r\n").find("\n550 No schedule found\n"), std::string::npos);

  ASSERT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 0) << err;
  EXPECT_EQ(CheckVdrHoldsGuide(vdr.port, g.root), first);

  WriteFileText(g.dir + "/changed.guide", ChangedGuide());
  ASSERT_NO_FATAL_FAILURE(Grab(g, "changed", "--guide " + g.dir + "/changed.guide", false));
  ASSERT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 0) << err;
  std::map<std::string, std::string> after = CheckVdrHoldsGuide(vdr.port, g.root);
  int kept = 0;
  for (const auto &id : after) {
    auto was = first.find(id.first);
    if (was == first.end()) continue;
    kept++;
    EXPECT_EQ(was->second, id.second) << "event id changed at " << id.first;
  }
  EXPECT_GT(kept, 50);
  std::string uno = Svdrp(vdr.port, "LSTE S19.2E-1-1024-8001\r\n");
  EXPECT_NE(uno.find("\n215-T Película: Ñandú y el cóndor\n215-D Primera línea del resumen.|Segunda línea, "
                     "tras un salto.\n"),
            std::string::npos)
      << uno;
  EXPECT_NE(Svdrp(vdr.port, "LSTE S30W-1-1024-8004-5\r\n")
                .find("\n215-T Naturaleza\n215-S Documental de la mañana\n215-D Naturaleza ibérica en otoño.\n"),
            std::string::npos);
  /* The cut title gives way to the whole one, with no short text. */
  EXPECT_NE(uno.find("\n215-T Concierto de Año Nuevo desde la Sala Dorada, con la orquesta y el ballet\n"
                     "215-D Valses y polcas.\n"),
            std::string::npos)
      << uno;

  /* The printed form: channel ids with the source asked for; fed by hand to
   * an emptied VDR it gives the same schedule. */
  ASSERT_EQ(EpgdbVdr(g, g.root + " --source S30W", &out, &err), 0) << err;
  EXPECT_NE(out.find("\nC S30W-1-1024-8004 Canal Dos\n"), std::string::npos) << out;
  ASSERT_EQ(EpgdbVdr(g, g.root, &out, &err), 0) << err;
  std::string pute = "CLRE\r\nPUTE\r\n";
  for (const std::string &line : SplitLines(out)) pute += line + "\r\n";
  std::string answer = Svdrp(vdr.port, pute + ".\r\n");
  EXPECT_NE(answer.find("\n250 EPG data processed\n"), std::string::npos) << answer;
  std::vector<VdrEvent> want = GuideSchedule(g.root, kMatched[0]), got = VdrSchedule(vdr.port, kMatched[0].id);
  EXPECT_TRUE(got == want) << "VDR holds " << got.size() << " events, guide.db " << want.size();

  /* --days 1: the titles that start within a day from now (the guide
   * runs for three days from midnight). */
  int64_t from = time(nullptr) + 86400;
  ASSERT_EQ(EpgdbVdr(g, g.root + " --days 1", &out, &err), 0) << err;
  int64_t to = time(nullptr) + 86400;
  size_t events = SimCount(out, "\nE "), least = 0, most = 0, all = 0;
  for (const VdrChannel &c : {kMatched[0], kMatched[1], VdrChannel{"", 1, 1024, 8007}}) {
    least += GuideSchedule(g.root, c, from).size();
    most += GuideSchedule(g.root, c, to).size();
    all += GuideSchedule(g.root, c).size();
  }
  EXPECT_GE(events, least);
  EXPECT_LE(events, most);
  EXPECT_LT(most, all);
}

/* Texts reach a VDR that runs without UTF-8 in its own character set, and
 * control characters from the satellite never break VDR's lines. */
TEST(VdrPush, VdrWithoutUtf8GetsItsOwnCharacterSet) {
  GrabDir g("vdrascii");
  Vdr vdr;
  ASSERT_TRUE(VdrStart(g.dir + "/vdr", kChannelsConf, "127.0.0.1\n", "C", &vdr));
  WriteFileText(g.dir + "/changed.guide",
                ChangedGuide("event ch=0 start=" + Day(1) + "T13:00 dur=30 title=\"Tertulia\\x0D\\nD falsa\\x7F\\tfin\"\n"));
  ASSERT_NO_FATAL_FAILURE(Grab(g, "changed", "--guide " + g.dir + "/changed.guide", true));
  std::string out, err;
  ASSERT_EQ(EpgdbVdr(g, g.root + " --svdrp 127.0.0.1:" + std::to_string(vdr.port), &out, &err), 0) << err;
  std::string uno = Svdrp(vdr.port, "LSTE S19.2E-1-1024-8001\r\n");
  EXPECT_NE(uno.find("ANSI_X3.4-1968"), std::string::npos) << uno;
  EXPECT_NE(uno.find("\n215-T Pelicula: Nandu y el condor\n215-D Primera linea del resumen.|Segunda linea"),
            std::string::npos)
      << uno;
  EXPECT_NE(uno.find("\n215-T Tertulia D falsa fin\n215-e\n"), std::string::npos) << uno;
  for (unsigned char c : uno) ASSERT_LT(c, 0x80) << uno;
}

/* A VDR that refuses the host, closes the connection or never answers ends
 * the push with exit code 1 and the reason. */
TEST(VdrPush, RefusalClosedConnectionAndSilenceFailWithTheReason) {
  GrabDir g("vdrrefuse");
  ASSERT_NO_FATAL_FAILURE(Grab(g, "random", RandomGuide(1), false));
  std::string out, err;

  {
    Vdr vdr;
    ASSERT_TRUE(VdrStart(g.dir + "/vdr", kChannelsConf, "", "C.UTF-8", &vdr));
    std::string target = "127.0.0.1:" + std::to_string(vdr.port);
    EXPECT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 1);
    EXPECT_EQ(err, "epgdb: VDR at " + target + " refused the connection: Access denied!\n");
    EXPECT_EQ(out, "");
  }

  /* A listener that greets, then closes at the first command; it waits at
   * most 30 seconds for each step. */
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct timeval tv = {30, 0};
  setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(listener, (struct sockaddr *)&a, sizeof a), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, (struct sockaddr *)&a, &len), 0);
  std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  std::thread greeter([listener, tv] {
    int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const char greeting[] = "220 test SVDRP VideoDiskRecorder 2.6.0; today; UTF-8\r\n";
    if (fd >= 0 && write(fd, greeting, sizeof greeting - 1) > 0) {
      char buf[64];
      (void)!read(fd, buf, sizeof buf);
    }
    if (fd >= 0) close(fd);
  });
  EXPECT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 1);
  greeter.join();
  EXPECT_EQ(err, "epgdb: VDR at " + target + " closed the connection (waiting for the channel list (LSTC))\n");

  /* Nobody accepts now: the connection is made, no greeting comes. */
  EXPECT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target + " --timeout 1", &out, &err), 1);
  EXPECT_EQ(err, "epgdb: VDR at " + target + " did not answer within 1 seconds (waiting for the greeting)\n");
  close(listener);
  EXPECT_EQ(EpgdbVdr(g, g.root + " --svdrp " + target, &out, &err), 1);
  EXPECT_EQ(err, "epgdb: cannot connect to VDR at " + target + ": Connection refused\n");
}
