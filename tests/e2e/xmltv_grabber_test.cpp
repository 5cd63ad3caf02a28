/* The XMLTV grabber tv_grab_zz_mhw2 end to end on simulated broadcasts:
 * configured for a recording it grabs and exports what the simulator says a
 * grab stores, with the broadcast channel names, and passes the XMLTV
 * tools' own grabber validation; a source command feeds it through a FIFO
 * and the document reaches a listener on a UNIX socket; failures are clear. */
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "e2e/sim_helpers.h"
#include "epgdb.h"
#include "support/run_helper.h"

namespace {

const std::string kGrabber = std::string(MHW2_BUILD_DIR) + "/tv_grab_zz_mhw2";
const std::string kDtd = "/usr/share/xmltv/xmltv.dtd";

/* A small random guide that starts today: four channels, four days. */
std::string TodaysGuide(int seed) {
  return "--random --seed " + std::to_string(seed) + " --start " + SimToday() +
         " --channels 4 --days 4 --events-per-day 6";
}

/* What one run of the grabber left. */
struct GrabberRun {
  int code;
  std::string out, err;
  std::string log; /* the grab's log that a failure names (then removed) */
};

/* Runs the grabber with "args" (shell words) in the simulator's zone, with
 * "input" on standard input, after the shell words "prefix" (variables, a
 * limit); a run that takes over a minute is killed (exit code 124). */
GrabberRun Grab(const GrabDir &g, const std::string &args, const std::string &input = "",
                const std::string &prefix = "") {
  WriteFileText(g.dir + "/in.txt", input);
  GrabberRun r;
  r.code = SimShell(std::string(SIM_TZ) + " " + prefix + " timeout 60 " + kGrabber + " " + args + " <" + g.dir +
                    "/in.txt >" + g.dir + "/out.txt 2>" + g.dir + "/err.txt");
  r.out = ReadFileText(g.dir + "/out.txt");
  r.err = ReadFileText(g.dir + "/err.txt");
  size_t see = r.err.find("; see /tmp/tv_grab_zz_mhw2-");
  if (see != std::string::npos) {
    std::string log = r.err.substr(see + 6, r.err.find('\n', see) - see - 6);
    r.log = ReadFileText(log);
    unlink(log.c_str());
  }
  return r;
}

/* The verdict of tv_validate_file on the document "xml". */
std::string Validate(const GrabDir &g, const std::string &xml) {
  WriteFileText(g.dir + "/doc.xml", xml);
  return ShellOutput("tv_validate_file --dtd-file " + kDtd + " " + g.dir + "/doc.xml 2>&1");
}

/* Checks that "xml" lists every channel of "e", each with its broadcast
 * name (UTF-8) as first display name and its triple as second, and holds
 * one programme per title the simulator expects. */
void CheckGuide(const std::string &xml, const SimExpectation &e) {
  for (const SimExpectation::Channel &c : e.channels) {
    size_t n = 0;
    char *name = epgdb_text_utf8(c.name.data(), c.name.size(), 0, &n);
    std::string ids = std::to_string(c.nid) + "-" + std::to_string(c.tsid) + "-" + std::to_string(c.sid);
    std::string triple = std::to_string(c.nid) + ":" + std::to_string(c.tsid) + ":" + std::to_string(c.sid);
    EXPECT_NE(xml.find("<channel id=\"" + ids + ".mhw2.dvb\">\n    <display-name>" + std::string(name, n) +
                       "</display-name>\n    <display-name>" + triple + "</display-name>\n"),
              std::string::npos)
        << name << "\n" << xml.substr(0, 2000);
    free(name);
  }
  EXPECT_EQ(SimCount(xml, "<channel id="), (int)e.channels.size());
  EXPECT_EQ(SimCount(xml, "<programme "), (int)SplitLines(e.rows).size());
}

TEST(XmltvGrabber, ConfiguredRecordingIsGrabbedExportedAndTheGrabberValidates) {
  GrabDir g("xmltv_demux");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, TodaysGuide(21), "", &e));
  const std::string conf = g.dir + "/grabber.conf";

  /* --configure asks for the root and the source, and writes them; a wrong
   * answer is asked again with the same default. */
  GrabberRun r = Grab(g, "--configure --config-file " + conf, g.root + "\nbogus\ndemux\n" + e.stream + "\n");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(SimCount(r.err, "source-command) [none]: "), 2) << r.err;
  EXPECT_EQ(r.err.find("[bogus]"), std::string::npos) << r.err;
  std::string written = ReadFileText(conf);
  EXPECT_NE(written.find("\nroot=" + g.root + "\n"), std::string::npos) << written;
  EXPECT_NE(written.find("\ndemux=" + e.stream + "\n"), std::string::npos) << written;

  /* A run grabs the recording into the root, then exports all of it;
   * the grab's status lines are its progress on standard error. A TMPDIR
   * too long for mhw2grab's paths does not make it grab another source. */
  const std::string tmpdir = g.dir + "/" + std::string(200, 't');
  ASSERT_EQ(mkdir(tmpdir.c_str(), 0700), 0);
  r = Grab(g, "--config-file " + conf + " --output " + g.dir + "/guide.xml", "", "TMPDIR=" + tmpdir);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("tv_grab_zz_mhw2: Downloading channels (4)\n"), std::string::npos) << r.err;
  std::string xml = ReadFileText(g.dir + "/guide.xml");
  EXPECT_NE(Validate(g, xml).find("Validated ok."), std::string::npos) << Validate(g, xml);
  EXPECT_NE(xml.find("<tv generator-info-name=\"tv_grab_zz_mhw2/1.0\">"), std::string::npos);
  CheckGuide(xml, e);
  /* On a full disk (a file-size limit) the guide stays whole and the run
   * fails with the reason; no temporary file is left beside it. */
  WriteFileText(g.dir + "/export.conf", "root=" + g.root + "\n");
  r = Grab(g, "--config-file " + g.dir + "/export.conf --output " + g.dir + "/guide.xml", "",
           "prlimit --fsize=" + std::to_string(xml.size() / 2) + " --");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("File too large; " + g.dir + "/guide.xml is left as it was"), std::string::npos) << r.err;
  EXPECT_TRUE(ReadFileText(g.dir + "/guide.xml") == xml);
  EXPECT_EQ(ShellOutput("ls -A " + g.dir + " | grep -c guide.xml"), "1\n");
  /* The channel list: the same channels, no programme. */
  r = Grab(g, "--list-channels --quiet --config-file " + conf);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, xml.substr(0, xml.find("  <programme ")) + "</tv>\n");

  /* The XMLTV tools find it and validate it as a grabber (options, --quiet,
   * --output, additivity of days, tv_sort --duplicate-error): no warning. */
  std::string found = ShellOutput("PATH=" + std::string(MHW2_BUILD_DIR) + ":$PATH tv_find_grabbers baseline "
                                  "manualconfig preferredmethod 2>&1");
  EXPECT_NE(found.find(kGrabber + "|"), std::string::npos) << found;
  std::string report = ShellOutput(std::string(SIM_TZ) + " tv_validate_grabber --dtd-file " + kDtd +
                                   " --config-file " + conf + " " + kGrabber + " 2>&1; echo exit $?");
  for (const std::string &line : SplitLines(report)) {
    bool fine = line == "Grabber validated ok." || line == "Validated ok." || line == "exit 0" ||
                (line.size() > 16 && line.compare(line.size() - 16, 16, "xml validates ok") == 0);
    EXPECT_TRUE(fine) << line << "\n" << report;
  }
  EXPECT_NE(report.find("\nexit 0\n"), std::string::npos) << report;
}

TEST(XmltvGrabber, SourceCommandFeedsTheGrabAndTheSocketGetsTheDocument) {
  GrabDir g("xmltv_socket");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, TodaysGuide(22), "", &e));
  /* A command that sends the carousel round and round, as a live stream. */
  const std::string conf = g.dir + "/grabber.conf";
  WriteFileText(conf, "root=" + g.root + "\nsource-command=while :; do cat " + e.stream + "; done\n");

  /* One listener, one document per connection, as a guide server reads it;
   * its socket appears only once it listens. */
  const std::string sock = g.dir + "/xmltv.sock", got = g.dir + "/received.xml";
  pid_t listener = fork();
  ASSERT_GE(listener, 0);
  if (listener == 0) {
    execlp("timeout", "timeout", "60", "python3", "-c",
           "import socket, sys\n"
           "import os\n"
           "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1] + '.new'); s.listen(1)\n"
           "os.rename(sys.argv[1] + '.new', sys.argv[1])\n"
           "c, _ = s.accept(); data = b''\n"
           "while True:\n"
           "    b = c.recv(65536)\n"
           "    if not b: break\n"
           "    data += b\n"
           "open(sys.argv[2], 'wb').write(data)\n",
           sock.c_str(), got.c_str(), (char *)nullptr);
    _exit(127);
  }
  struct stat st;
  for (int i = 0; i < 200 && stat(sock.c_str(), &st) != 0; i++) usleep(50000);
  GrabberRun r = Grab(g, "--quiet --config-file " + conf + " --socket " + sock);
  int status = 0;
  ASSERT_EQ(waitpid(listener, &status, 0), listener);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "") << "--quiet shows nothing but errors";
  EXPECT_EQ(r.out, "");
  std::string xml = ReadFileText(got);
  EXPECT_NE(Validate(g, xml).find("Validated ok."), std::string::npos) << Validate(g, xml);
  CheckGuide(xml, e);
  /* The source command and its whole loop have been ended. */
  EXPECT_EQ(ShellOutput("pgrep -f '[c]at " + e.stream + "'"), "");

  /* The listener has gone: a clear error. */
  r = Grab(g, "--quiet --config-file " + conf + " --socket " + sock);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("nothing listens on the socket " + sock), std::string::npos) << r.err;
}

/* A grab that fails, a root that cannot be used and a missing or unusable
 * configuration end with a message and exit code 1, never a wait; a root
 * with nothing stored gives a valid empty document. */
TEST(XmltvGrabber, FailuresAreClearAndAnEmptyRootGivesAnEmptyGuide) {
  GrabDir g("xmltv_fail");
  const std::string conf = g.dir + "/grabber.conf";
  struct Case {
    std::string config;
    std::string message;
  } const cases[] = {
      {"root=" + g.root + "\nsource-command=echo no stream; exit 3\n",
       "grab failed: no MHW2 channel table came from the source command (the source command exited with "
       "status 3)"},
      {"root=" + g.root + "\ndemux=" + g.dir + "/nowhere.ts\n", "grab failed: no MHW2 channel table came from demux"},
      /* mhw2grab ends before it opens the FIFO that the command waits for. */
      {"root=" + g.dir + "/file\nsource-command=cat /dev/zero\n",
       "grab failed: mhw2grab could not open the guide database at " + g.dir + "/file: root " + g.dir +
           "/file is not a directory"},
      {"root=" + g.dir + "/missing\n", "unusable guide database root"},
      {"root=" + g.root + "\ncolour=blue\n", "unknown setting 'colour=blue'"},
  };
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  WriteFileText(g.dir + "/file", "");
  for (const Case &c : cases) {
    WriteFileText(conf, c.config);
    GrabberRun r = Grab(g, "--quiet --config-file " + conf);
    EXPECT_EQ(r.code, 1) << c.config;
    EXPECT_EQ(r.out, "") << c.config;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.config << "\n" << r.err;
  }
  /* Only a regular file of a bounded size is read as the configuration. */
  ASSERT_EQ(mkfifo((g.dir + "/fifo.conf").c_str(), 0600), 0);
  WriteFileText(g.dir + "/huge.conf", std::string(70000, '#'));
  for (const std::string &path : {g.dir + "/fifo.conf", std::string("/dev/zero"), g.root, g.dir + "/huge.conf"}) {
    GrabberRun r = Grab(g, "--quiet --config-file " + path);
    EXPECT_EQ(r.code, 1) << path;
    EXPECT_EQ(r.err, "tv_grab_zz_mhw2: " + path +
                         (path == g.dir + "/huge.conf" ? " is larger than 65536 bytes: not a configuration\n"
                                                       : " is not a regular file\n"));
  }
  GrabberRun r = Grab(g, "--config-file " + g.dir + "/none.conf");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("run tv_grab_zz_mhw2 --configure"), std::string::npos) << r.err;

  /* The failed grabs stored nothing: an empty guide, valid by the DTD. */
  WriteFileText(conf, "root=" + g.root + "\n");
  r = Grab(g, "--quiet --config-file " + conf + " --days 1");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE tv SYSTEM \"xmltv.dtd\">\n"
            "<tv generator-info-name=\"tv_grab_zz_mhw2/1.0\">\n</tv>\n");
  WriteFileText(g.dir + "/empty.xml", r.out);
  EXPECT_EQ(SimShell("xmllint --noout --dtdvalid " + kDtd + " " + g.dir + "/empty.xml"), 0);
}

/* A listener on "sock" that takes one connection and never reads it. */
pid_t StartDeafListener(const std::string &sock) {
  pid_t pid = fork();
  if (pid == 0) {
    execlp("python3", "python3", "-c",
           "import socket, sys, os, time\n"
           "s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1] + '.new'); s.listen(1)\n"
           "os.rename(sys.argv[1] + '.new', sys.argv[1])\n"
           "c, _ = s.accept(); time.sleep(60)\n",
           sock.c_str(), (char *)nullptr);
    _exit(127);
  }
  struct stat st;
  for (int i = 0; i < 200 && stat(sock.c_str(), &st) != 0; i++) usleep(50000);
  return pid;
}

/* The shared log path of earlier versions, planted as a link that mhw2grab
 * will not write through: the outcome must come from the grab's own log. */
struct PlantedSharedLog {
  const std::string path = "/tmp/tv_grab_zz_mhw2.log";
  PlantedSharedLog() {
    unlink(path.c_str());
    /* A suite running beside this one may have planted it first. */
    struct stat st;
    EXPECT_TRUE(symlink("/dev/null", path.c_str()) == 0 || (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)));
  }
  ~PlantedSharedLog() { unlink(path.c_str()); }
};

/* A guide larger than a socket's buffers: failing saves and sources fail
 * the run, a source that fails after the whole guide does not, and a socket
 * reader that takes nothing makes it fail in time. */
TEST(XmltvGrabber, FailedSavesSourcesAndReadersFailTheRun) {
  GrabDir g("xmltv_faults");
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g.dir, "--random --seed 23 --start " + SimToday() +
                                     " --channels 20 --days 7 --events-per-day 20", "", &e));
  ASSERT_EQ(mkdir(g.root.c_str(), 0755), 0);
  const std::string conf = g.dir + "/grabber.conf";

  /* The save meets a file-size limit, as on a full disk. */
  {
    PlantedSharedLog planted;
    WriteFileText(conf, "root=" + g.root + "\ndemux=" + e.stream + "\n");
    GrabberRun r = Grab(g, "--quiet --config-file " + conf, "", "prlimit --fsize=65536 --");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("grab failed: the guide database at " + g.root + " could not be saved: "),
              std::string::npos) << r.err;
    EXPECT_TRUE(HasLine(LogMessages(r.log), "Error saving data")) << r.log;
  }

  /* A source command that fails half way through the stream. */
  WriteFileText(conf, "root=" + g.root + "\nsource-command=head -c 100000 " + e.stream + "; exit 56\n");
  GrabberRun r = Grab(g, "--quiet --config-file " + conf);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("before every table had come round whole; the saved guide is partial (the source "
                       "command exited with status 56)"),
            std::string::npos) << r.err;
  /* One that fails after the whole stream: reported, the guide exported. */
  WriteFileText(conf, "root=" + g.root + "\nsource-command=cat " + e.stream + "; exit 56\n");
  r = Grab(g, "--config-file " + conf);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("the source command exited with status 56 after every table had come round whole"),
            std::string::npos) << r.err;
  CheckGuide(r.out, e);

  /* The socket's reader never reads past its buffers. */
  const std::string sock = g.dir + "/deaf.sock";
  pid_t listener = StartDeafListener(sock);
  ASSERT_GT(listener, 0);
  WriteFileText(conf, "root=" + g.root + "\n");
  time_t start = time(nullptr);
  r = Grab(g, "--quiet --config-file " + conf + " --socket " + sock + " --socket-timeout 2");
  EXPECT_LE(time(nullptr) - start, 10);
  kill(listener, SIGKILL);
  waitpid(listener, nullptr, 0);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("the reader of the socket " + sock + " took only "), std::string::npos) << r.err;
}

}  // namespace
