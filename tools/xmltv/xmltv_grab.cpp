/* The grab before an XMLTV export: mhw2grab runs on the configured source
 * under a configuration of our own, its status lines become progress on
 * standard error, and a source command is ended once mhw2grab is done. */
#include "xmltv_grab.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

/* How long a source command has to end after SIGTERM before SIGKILL. */
#define XMLTV_GRAB_STOP_MS 3000
/* How long a source command has, once mhw2grab is done, to end by itself
 * (a command that is just ending tells how) before it is stopped. */
#define XMLTV_GRAB_GRACE_MS 200
/* The step of the wait for a source command to end. */
#define XMLTV_GRAB_POLL_MS 50
/* mhw2grab's main log is "/tmp/<name>.log" for the last component of its
 * argv[0]; each grab gives it a name of its own, made here with that log. */
#define XMLTV_GRAB_LOG_TEMPLATE "/tmp/" XMLTV_GRAB_NAME "-XXXXXX.log"
/* mhw2grab refuses a configuration path (argv[0] and ".conf") longer than this. */
#define XMLTV_GRAB_PATH_MAX 255

/* A signal that asked us to stop while a grab was running (0: none). */
static volatile sig_atomic_t XmltvGrabStopSignal;

/* What the status lines of one grab said. */
struct XmltvGrabReport {
  long channels; /* channel count of "LOGTEXT Downloading channels (N)", -1 when none came */
  int done;      /* the closing "LOGTEXT Done." line came: events were stored */
};

/* The files of one grab: its private folder and mhw2grab's log. */
struct XmltvGrabFiles {
  std::string log;     /* mhw2grab's main log, made for this grab alone */
  std::string name;    /* mhw2grab's program name, which names that log */
  std::string dir;
  std::string argv0;   /* mhw2grab's argv[0], in the private folder */
  std::string config;  /* mhw2grab's configuration */
  std::string fifo;    /* the stream of a source command ("" without one) */
  std::string grab_err;
  std::string source_err;
};

static void XmltvGrabOnSignal(int signal_number) { XmltvGrabStopSignal = signal_number; }

std::string XmltvGrabBesideSelf(void) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = 0;
  std::string path = self;
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1) + "mhw2grab";
}

/* The bytes of the regular file "path" ("" when it cannot be read). */
static std::string XmltvGrabReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

/* Makes mhw2grab's log for this grab alone (a new file of ours, which no
 * other grab or user writes) and the program name that leads mhw2grab to
 * it. Returns 1, or 0 after a message. */
static int XmltvGrabMakeLog(XmltvGrabFiles *files) {
  char path[] = XMLTV_GRAB_LOG_TEMPLATE;
  int fd = mkostemps(path, 4, O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, XMLTV_GRAB_NAME ": cannot make mhw2grab's log %s: %s\n", XMLTV_GRAB_LOG_TEMPLATE,
            strerror(errno));
    return 0;
  }
  close(fd);
  files->log = path;
  files->name = files->log.substr(5, files->log.size() - 5 - 4);
  return 1;
}

/* The folder the private folder goes in: TMPDIR, unless the paths of the
 * files in it would not fit mhw2grab's limit; then /tmp. */
static std::string XmltvGrabTempBase(const XmltvGrabFiles *files, int debug) {
  const char *tmp = getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  /* "<base>/<name>.XXXXXX/<name>.conf" is the longest path mhw2grab is given. */
  size_t longest = base.size() + 1 + files->name.size() + 7 + 1 + files->name.size() + 5;
  if (longest > XMLTV_GRAB_PATH_MAX) {
    if (debug)
      fprintf(stderr, XMLTV_GRAB_NAME ": TMPDIR is too long for mhw2grab's paths; using /tmp\n");
    base = "/tmp";
  }
  return base;
}

/* Makes mhw2grab's log, the private folder with mhw2grab's configuration
 * ("demux=<demux>") and, for a source command, the FIFO. Returns 1, or 0
 * after a message. */
static int XmltvGrabPrepare(const XmltvSource *source, int debug, XmltvGrabFiles *files) {
  if (!XmltvGrabMakeLog(files)) return 0;
  /* The folder is named like the log, so that both lead to the same grab. */
  std::string templ = XmltvGrabTempBase(files, debug) + "/" + files->name + ".XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back(0);
  if (!mkdtemp(buffer.data())) {
    fprintf(stderr, XMLTV_GRAB_NAME ": cannot make a folder %s: %s\n", templ.c_str(),
            strerror(errno));
    return 0;
  }
  files->dir = buffer.data();
  files->argv0 = files->dir + "/" + files->name;
  files->config = files->argv0 + ".conf";
  if (files->config.size() > XMLTV_GRAB_PATH_MAX) {
    fprintf(stderr, XMLTV_GRAB_NAME ": the path %s is longer than mhw2grab takes (%d characters)\n",
            files->config.c_str(), XMLTV_GRAB_PATH_MAX);
    return 0;
  }
  files->grab_err = files->dir + "/grab.err";
  files->source_err = files->dir + "/source.err";
  std::string demux = source->demux;
  if (!source->command.empty()) {
    files->fifo = files->dir + "/stream.ts";
    if (mkfifo(files->fifo.c_str(), 0600) != 0) {
      fprintf(stderr, XMLTV_GRAB_NAME ": cannot make the FIFO %s: %s\n", files->fifo.c_str(),
              strerror(errno));
      return 0;
    }
    demux = files->fifo;
  }
  FILE *f = fopen(files->config.c_str(), "w");
  int ok = f && fprintf(f, "demux=%s\n", demux.c_str()) > 0;
  if (f && fclose(f) != 0) ok = 0;
  if (!ok) fprintf(stderr, XMLTV_GRAB_NAME ": cannot write %s\n", files->config.c_str());
  return ok;
}

/* Removes the private folder and what it holds, and mhw2grab's log unless
 * "keep_log". */
static void XmltvGrabCleanUp(const XmltvGrabFiles *files, int keep_log) {
  if (!keep_log && !files->log.empty()) unlink(files->log.c_str());
  if (files->dir.empty()) return;
  for (const std::string &path : {files->config, files->fifo, files->grab_err, files->source_err})
    if (!path.empty()) unlink(path.c_str());
  rmdir(files->dir.c_str());
}

/* In a child: standard input from /dev/null, standard error to "err_path",
 * default signal handling. Returns 1, or 0 when a descriptor cannot be set. */
static int XmltvGrabChildSetup(const std::string &err_path) {
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
  int in = open("/dev/null", O_RDONLY);
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0) return 0;
  close(in);
  close(err);
  return 1;
}

/* Starts the shell command "command" in a process group of its own with its
 * standard output on the FIFO of "files". "status_pipe" is closed in it:
 * the command waits for mhw2grab in the open of the FIFO, which mhw2grab may
 * never make, and must not keep the end of mhw2grab's status from coming.
 * Returns its pid, or -1 after a message. */
static pid_t XmltvGrabStartSource(const std::string &command, const XmltvGrabFiles *files,
                                  const int status_pipe[2]) {
  pid_t pid = fork();
  if (pid == 0) {
    close(status_pipe[0]);
    close(status_pipe[1]);
    setpgid(0, 0);
    if (!XmltvGrabChildSetup(files->source_err)) _exit(127);
    /* Waits here until mhw2grab opens the FIFO for reading. */
    int out = open(files->fifo.c_str(), O_WRONLY);
    if (out < 0 || dup2(out, 1) < 0) _exit(127);
    close(out);
    execl("/bin/sh", "sh", "-c", command.c_str(), (char *)nullptr);
    fprintf(stderr, "cannot run /bin/sh: %s\n", strerror(errno));
    _exit(127);
  }
  if (pid < 0) {
    fprintf(stderr, XMLTV_GRAB_NAME ": cannot start the source command: %s\n", strerror(errno));
    return -1;
  }
  setpgid(pid, pid);
  return pid;
}

/* Starts mhw2grab on "source" under the configuration of "files", its
 * standard output into "status_fd". Returns its pid, or -1 after a message. */
static pid_t XmltvGrabStartGrabber(const XmltvSource *source, const XmltvGrabFiles *files,
                                   int status_fd) {
  /* mhw2grab reads "<argv[0]>.conf": argv[0] names the private configuration
   * and, by its last component, the log of this grab. */
  const std::string &argv0 = files->argv0;
  pid_t pid = fork();
  if (pid == 0) {
    if (!XmltvGrabChildSetup(files->grab_err) || dup2(status_fd, 1) < 0) _exit(127);
    char *const argv[] = {(char *)argv0.c_str(), (char *)source->root.c_str(), nullptr};
    execv(source->grabber.c_str(), argv);
    fprintf(stderr, "cannot run %s: %s\n", source->grabber.c_str(), strerror(errno));
    _exit(127);
  }
  if (pid < 0) fprintf(stderr, XMLTV_GRAB_NAME ": cannot start mhw2grab: %s\n", strerror(errno));
  return pid;
}

/* True for a spinner line "LOGTEXT <activity> (<c>)" with c one of | / - \. */
static bool XmltvGrabIsSpinner(const std::string &line) {
  size_t n = line.size();
  return n > 12 && line.compare(n - 4, 2, " (") == 0 && line[n - 1] == ')' &&
         strchr("|/-\\", line[n - 2]) != nullptr;
}

/* Takes one status line of mhw2grab into "report" and, unless "quiet",
 * shows its text on standard error. */
static void XmltvGrabStatusLine(const std::string &line, int quiet, XmltvGrabReport *report) {
  static const std::string logtext = "LOGTEXT ", channels = "LOGTEXT Downloading channels (";
  if (line.compare(0, logtext.size(), logtext) != 0 || XmltvGrabIsSpinner(line)) return;
  if (line.compare(0, channels.size(), channels) == 0)
    report->channels = strtol(line.c_str() + channels.size(), nullptr, 10);
  if (line.compare(0, 13, "LOGTEXT Done.") == 0) report->done = 1;
  if (!quiet) fprintf(stderr, XMLTV_GRAB_NAME ": %s\n", line.c_str() + logtext.size());
}

/* Reads the status lines from "fd" until mhw2grab closes it. A stop signal
 * meanwhile is passed on to mhw2grab "grab" and the group of "source". */
static void XmltvGrabReadStatus(int fd, int quiet, pid_t grab, pid_t source,
                                XmltvGrabReport *report) {
  std::string pending;
  char chunk[4096];
  int passed_on = 0;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (XmltvGrabStopSignal && !passed_on) {
      kill(grab, SIGTERM);
      if (source > 0) kill(-source, SIGTERM);
      passed_on = 1;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(chunk, (size_t)n);
    size_t start = 0, end;
    while ((end = pending.find('\n', start)) != std::string::npos) {
      XmltvGrabStatusLine(pending.substr(start, end - start), quiet, report);
      start = end + 1;
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) XmltvGrabStatusLine(pending, quiet, report);
}

/* Waits for "pid" (through signals). Returns its wait status. */
static int XmltvGrabWait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

/* Ends the source command "pid" and its process group: SIGTERM, then
 * SIGKILL after XMLTV_GRAB_STOP_MS, unless it ends by itself within
 * XMLTV_GRAB_GRACE_MS. Its wait status goes to "*status", and to
 * "*before_stop" 1 when it ended before it was stopped. Returns 1
 * when it ended by itself (not by either of those signals). */
static int XmltvGrabStopSource(pid_t pid, int *status, int *before_stop) {
  int reaped = waitpid(pid, status, WNOHANG) == pid;
  for (int waited = 0; !reaped && waited < XMLTV_GRAB_GRACE_MS; waited += XMLTV_GRAB_POLL_MS) {
    usleep(XMLTV_GRAB_POLL_MS * 1000);
    reaped = waitpid(pid, status, WNOHANG) == pid;
  }
  *before_stop = reaped;
  if (!reaped) kill(-pid, SIGTERM);
  for (int waited = 0; !reaped && waited < XMLTV_GRAB_STOP_MS; waited += XMLTV_GRAB_POLL_MS) {
    usleep(XMLTV_GRAB_POLL_MS * 1000);
    reaped = waitpid(pid, status, WNOHANG) == pid;
  }
  /* Whatever is left of its process group goes too. */
  kill(-pid, SIGKILL);
  if (!reaped) *status = XmltvGrabWait(pid);
  /* A command that was already ending when it was stopped still tells how. */
  return !(WIFSIGNALED(*status) && (WTERMSIG(*status) == SIGTERM || WTERMSIG(*status) == SIGKILL));
}

/* A wait status in words. */
static std::string XmltvGrabStatusText(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

/* Copies the text of "path" to standard error, each line after "prefix". */
static void XmltvGrabShowFile(const std::string &path, const char *prefix) {
  std::istringstream in(XmltvGrabReadFile(path));
  std::string line;
  while (std::getline(in, line)) fprintf(stderr, "%s%s\n", prefix, line.c_str());
}

/* The messages of the main log "log" (its lines without the timestamp). */
static std::vector<std::string> XmltvGrabLogMessages(const std::string &log) {
  std::vector<std::string> messages;
  std::istringstream in(log);
  std::string line;
  /* "DD/MM/YYYY HH:MM:SS message" */
  while (std::getline(in, line))
    if (line.size() >= 20 && line[10] == ' ' && line[19] == ' ') messages.push_back(line.substr(20));
  return messages;
}

/* True when "messages" hold "message". */
static bool XmltvGrabLogHas(const std::vector<std::string> &messages, const std::string &message) {
  for (const std::string &m : messages)
    if (m == message) return true;
  return false;
}

/* The library's reason after "message" in "messages", as ": <reason>", or "". */
static std::string XmltvGrabLogReason(const std::vector<std::string> &messages, const std::string &message) {
  for (size_t i = 0; i + 1 < messages.size(); i++)
    if (messages[i] == message && messages[i + 1].compare(0, 7, "EPGDB: ") == 0)
      return ": " + messages[i + 1].substr(7);
  return "";
}

/* True when the log "messages" show a table cut short: its stream ended or
 * failed, or it timed out or hit a bound, before it came round whole. */
static bool XmltvGrabLogTableCut(const std::vector<std::string> &messages) {
  static const char *const cuts[] = {"Error reading data from sat", "Timeout reading data from sat",
                                     "did not repeat within"};
  for (const std::string &m : messages)
    for (const char *cut : cuts)
      if (m.find(cut) != std::string::npos && m.compare(0, 19, "DemuxGetAllSections") == 0) return true;
  return XmltvGrabLogHas(messages, "The saved guide is partial");
}

/* What went wrong in a grab, or "" when it stored a guide. The outcome is
 * taken from mhw2grab's exit status, its status lines and its log of this
 * grab ("log"); a source command that ended by itself with "source_failed"
 * fails the grab unless every table was read whole. */
static std::string XmltvGrabFailure(const XmltvSource *source, int grab_status, const XmltvGrabReport &report,
                                    const std::string &log, bool source_failed) {
  std::string from = source->command.empty() ? "demux " + source->demux : "the source command";
  if (!WIFEXITED(grab_status) || WEXITSTATUS(grab_status) == 127)
    return "mhw2grab (" + source->grabber + ") " + XmltvGrabStatusText(grab_status);
  std::vector<std::string> messages = XmltvGrabLogMessages(log);
  if (WEXITSTATUS(grab_status) != 0) {
    if (XmltvGrabLogHas(messages, "Error opening EPGDB"))
      return "mhw2grab could not open the guide database at " + source->root +
             XmltvGrabLogReason(messages, "Error opening EPGDB");
    return "mhw2grab did not start: no demux found, or the guide database at " + source->root +
           " could not be opened";
  }
  if (report.channels <= 0) return "no MHW2 channel table came from " + from;
  if (!report.done) return "no MHW2 events came from " + from;
  if (XmltvGrabLogHas(messages, "Error saving data"))
    return "the guide database at " + source->root + " could not be saved" +
           XmltvGrabLogReason(messages, "Error saving data");
  if (!XmltvGrabLogHas(messages, "Data saved"))
    return "mhw2grab's log does not say that the guide was saved";
  if (source_failed && XmltvGrabLogTableCut(messages))
    return "the source command failed before every table had come round whole; the saved guide is partial";
  return "";
}

int XmltvGrab(const XmltvSource *source, int quiet, int debug) {
  if (access(source->grabber.c_str(), X_OK) != 0) {
    fprintf(stderr,
            XMLTV_GRAB_NAME ": mhw2grab is not at %s (%s); name it with grabber= in the "
                            "configuration\n",
            source->grabber.c_str(), strerror(errno));
    return 0;
  }
  XmltvGrabFiles files;
  int status_pipe[2] = {-1, -1};
  int ready = XmltvGrabPrepare(source, debug, &files);
  if (ready && pipe2(status_pipe, O_CLOEXEC) != 0) {
    fprintf(stderr, XMLTV_GRAB_NAME ": cannot make a pipe: %s\n", strerror(errno));
    ready = 0;
  }
  if (!ready) {
    XmltvGrabCleanUp(&files, 0);
    return 0;
  }
  if (debug) {
    fprintf(stderr, XMLTV_GRAB_NAME ": mhw2grab's log: %s\n", files.log.c_str());
    fprintf(stderr, XMLTV_GRAB_NAME ": running %s %s with demux=%s\n", source->grabber.c_str(),
            source->root.c_str(), files.fifo.empty() ? source->demux.c_str() : files.fifo.c_str());
    if (!source->command.empty())
      fprintf(stderr, XMLTV_GRAB_NAME ": source command: %s\n", source->command.c_str());
  }

  /* A stop signal ends the children too, then us. */
  struct sigaction stop = {}, old[3];
  const int stop_signals[3] = {SIGINT, SIGTERM, SIGHUP};
  stop.sa_handler = XmltvGrabOnSignal;
  sigemptyset(&stop.sa_mask);
  XmltvGrabStopSignal = 0;
  for (int i = 0; i < 3; i++) sigaction(stop_signals[i], &stop, &old[i]);

  pid_t source_pid = source->command.empty() ? 0 : XmltvGrabStartSource(source->command, &files, status_pipe);
  pid_t grab_pid = source_pid < 0 ? -1 : XmltvGrabStartGrabber(source, &files, status_pipe[1]);
  close(status_pipe[1]);
  XmltvGrabReport report = {-1, 0};
  int grab_status = 0, source_status = 0, source_ended = 0, source_gone = 0;
  if (grab_pid > 0) {
    XmltvGrabReadStatus(status_pipe[0], quiet, grab_pid, source_pid, &report);
    grab_status = XmltvGrabWait(grab_pid);
  }
  close(status_pipe[0]);
  if (source_pid > 0) source_ended = XmltvGrabStopSource(source_pid, &source_status, &source_gone);

  /* A command that failed before it was stopped. One killed by SIGPIPE
   * wrote on after mhw2grab had closed the FIFO. */
  bool source_failed = source_gone && !(WIFEXITED(source_status) && WEXITSTATUS(source_status) == 0) &&
                       !(WIFSIGNALED(source_status) && WTERMSIG(source_status) == SIGPIPE);
  std::string failure = grab_pid > 0 ? XmltvGrabFailure(source, grab_status, report,
                                                        XmltvGrabReadFile(files.log), source_failed)
                                     : std::string("the grab could not be started");
  if (XmltvGrabStopSignal) failure = "stopped by signal " + std::to_string(XmltvGrabStopSignal);
  if (!failure.empty() || !quiet) {
    XmltvGrabShowFile(files.grab_err, XMLTV_GRAB_NAME ": mhw2grab: ");
    if (source_pid > 0) XmltvGrabShowFile(files.source_err, XMLTV_GRAB_NAME ": source command: ");
  }
  if (!failure.empty()) {
    fprintf(stderr, XMLTV_GRAB_NAME ": grab failed: %s", failure.c_str());
    if (source_ended) fprintf(stderr, " (the source command %s)", XmltvGrabStatusText(source_status).c_str());
    fprintf(stderr, "; see %s\n", files.log.c_str());
  } else if (source_failed && !quiet) {
    fprintf(stderr, XMLTV_GRAB_NAME ": the source command %s after every table had come round whole\n",
            XmltvGrabStatusText(source_status).c_str());
  }
  /* The log of a failed grab stays for the reader of the message above. */
  XmltvGrabCleanUp(&files, !failure.empty() || debug);
  for (int i = 0; i < 3; i++) sigaction(stop_signals[i], &old[i], nullptr);
  if (XmltvGrabStopSignal) raise(XmltvGrabStopSignal);
  return failure.empty();
}
