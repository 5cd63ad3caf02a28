/* tv_grab_zz_mhw2: the guide database as an XMLTV grabber, for the programs
 * that read XMLTV grabbers (guide servers, media centres, recorders). It
 * follows the XMLTV grabber conventions (capabilities baseline, manualconfig
 * and preferredmethod), grabs a configured source with mhw2grab first when
 * one is set, and writes the stored guide as XMLTV to standard output, a
 * file or a UNIX socket. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "epgdb.h"
#include "xmltv_grab.h"
#include "xmltv_output.h"
#include "xmltv_write.h"

#define GRABBER_NAME XMLTV_GRAB_NAME
#define GRABBER_VERSION "1.0"
#define GRABBER_DESCRIPTION "MediaHighway 2 (MHW2) satellite guide from the receiver's guide database"
/* mhw2grab's own default database root. */
#define GRABBER_DEFAULT_ROOT "/hdd/tarnwell"
#define GRABBER_DEFAULT_DEMUX "/dev/dvb/adapter0/demux0"
/* mhw2grab refuses a demux path longer than this. */
#define GRABBER_DEMUX_MAX 255
#define GRABBER_DAYS_MAX 366
/* A configuration is a few lines; a larger file is not one. */
#define GRABBER_CONFIG_MAX 65536
/* The time a socket's reader has to take the whole document, by default. */
#define GRABBER_SOCKET_TIMEOUT 60
#define GRABBER_SOCKET_TIMEOUT_MAX 3600

static const char GRABBER_USAGE[] =
    "Usage:\n"
    "  " GRABBER_NAME " [--config-file FILE] [--days N] [--offset N]\n"
    "                  [--output FILE | --socket PATH [--socket-timeout S]]\n"
    "                  [--quiet] [--debug]\n"
    "  " GRABBER_NAME " --configure [--config-file FILE]\n"
    "  " GRABBER_NAME " --list-channels [--config-file FILE] [--output FILE | --socket PATH]\n"
    "  " GRABBER_NAME " --help | --version | --description | --capabilities | --preferredmethod\n"
    "\n"
    "Writes the MHW2 guide stored in the receiver's guide database as XMLTV. When\n"
    "the configuration names a source (demux= or source-command=), mhw2grab grabs\n"
    "it into the database first.\n"
    "\n"
    "  --config-file FILE  configuration (default ~/.xmltv/" GRABBER_NAME ".conf)\n"
    "  --days N            programmes that start in N days (default: everything stored)\n"
    "  --offset N          starting N days after today, local time (default 0)\n"
    "  --output FILE       write the document to FILE instead of standard output; FILE\n"
    "                      is replaced only once the whole document is written\n"
    "  --socket PATH       send the document to the UNIX socket PATH (for example a\n"
    "                      guide server's xmltv.sock), one document per connection\n"
    "  --socket-timeout S  the socket's reader has S seconds (default 60) from the\n"
    "                      connect on to take the whole document, or the run fails\n"
    "  --quiet             nothing on standard error but errors\n"
    "  --debug             the commands run and the files used, on standard error\n"
    "  --configure         ask for the configuration and write it\n"
    "  --list-channels     the stored channels only\n"
    "\n"
    "Exit status: 0 done (also when nothing is stored); 1 bad arguments, no\n"
    "configuration, a failed grab, an unusable database root or output. A grab\n"
    "fails when mhw2grab could not save the guide, and when the source command\n"
    "failed (a non-zero exit status or a signal) before mhw2grab had read every\n"
    "table whole; a source command that failed after a whole guide was read is\n"
    "reported, and the run goes on.\n";

/* The command line. */
struct GrabberOptions {
  int help, version, description, capabilities, preferredmethod, configure, list_channels;
  int quiet, debug;
  int days;       /* 0: everything stored */
  int offset;
  int has_offset;
  int socket_timeout; /* seconds */
  std::string output, socket, config_file;
};

/* The configuration file. */
struct GrabberConfig {
  std::string root;    /* guide database root */
  std::string demux;   /* source: demux device, recording or FIFO, or "" */
  std::string command; /* source: shell command writing the transport stream, or "" */
  std::string grabber; /* mhw2grab; "" for the one beside this program */
};

/* Prints "message" about "value" and the usage on standard error. Returns 1. */
static int GrabberUsageError(const char *message, const std::string &value) {
  fprintf(stderr, GRABBER_NAME ": %s%s\n\n%s", message, value.c_str(), GRABBER_USAGE);
  return 1;
}

/* Parses the whole number "text" between "lo" and "hi". Returns 1, or 0. */
static int GrabberParseInt(const std::string &text, long lo, long hi, int *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno != 0 || v < lo || v > hi) return 0;
  *out = (int)v;
  return 1;
}

/* Reads the command line into "o" ("--name value" or "--name=value").
 * Returns 0, or 1 after a usage message. */
static int GrabberParseOptions(int argc, char **argv, GrabberOptions *o) {
  struct Flag {
    const char *name;
    int *value;
  } const flags[] = {{"help", &o->help},
                     {"version", &o->version},
                     {"description", &o->description},
                     {"capabilities", &o->capabilities},
                     {"preferredmethod", &o->preferredmethod},
                     {"configure", &o->configure},
                     {"list-channels", &o->list_channels},
                     {"quiet", &o->quiet},
                     {"debug", &o->debug}};
  struct Value {
    const char *name;
    std::string *value;
  } const values[] = {{"output", &o->output}, {"socket", &o->socket}, {"config-file", &o->config_file},
                      {"days", nullptr},      {"offset", nullptr}, {"socket-timeout", nullptr}};
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-h") arg = "--help";
    if (arg.compare(0, 2, "--") != 0) return GrabberUsageError("unexpected argument ", arg);
    std::string name = arg.substr(2), value;
    size_t eq = name.find('=');
    bool inline_value = eq != std::string::npos;
    if (inline_value) value = name.substr(eq + 1), name.erase(eq);
    bool known = false;
    for (const Flag &f : flags) {
      if (name != f.name) continue;
      if (inline_value) return GrabberUsageError("takes no value: --", name);
      *f.value = 1;
      known = true;
    }
    for (const Value &v : values) {
      if (name != v.name) continue;
      if (!inline_value) {
        if (i + 1 >= argc) return GrabberUsageError("needs a value: --", name);
        value = argv[++i];
      }
      known = true;
      if (v.value) {
        *v.value = value;
      } else if (name == "days") {
        if (!GrabberParseInt(value, 1, GRABBER_DAYS_MAX, &o->days))
          return GrabberUsageError("--days takes 1 to 366, not ", value);
      } else if (name == "socket-timeout") {
        if (!GrabberParseInt(value, 1, GRABBER_SOCKET_TIMEOUT_MAX, &o->socket_timeout))
          return GrabberUsageError("--socket-timeout takes 1 to 3600 seconds, not ", value);
      } else {
        if (!GrabberParseInt(value, -GRABBER_DAYS_MAX, GRABBER_DAYS_MAX, &o->offset))
          return GrabberUsageError("--offset takes -366 to 366, not ", value);
        o->has_offset = 1;
      }
    }
    if (!known) return GrabberUsageError("unknown option ", arg);
  }
  if (!o->output.empty() && !o->socket.empty())
    return GrabberUsageError("--output and --socket exclude each other", "");
  return 0;
}

/* The default configuration file, ~/.xmltv/<name>.conf. */
static std::string GrabberDefaultConfig(void) {
  const char *home = getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.xmltv/" GRABBER_NAME ".conf";
}

/* "text" without blanks at both ends. */
static std::string GrabberTrim(const std::string &text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/* Checks the values of "c" that mhw2grab and the reader rely on. Returns
 * "" when usable, else what is wrong. */
static std::string GrabberConfigProblem(const GrabberConfig &c) {
  if (c.root.empty()) return "root is empty";
  if (!c.demux.empty() && !c.command.empty()) return "demux and source-command exclude each other";
  if (c.demux.size() > GRABBER_DEMUX_MAX)
    return "demux is longer than " + std::to_string(GRABBER_DEMUX_MAX) + " characters";
  return "";
}

/* Reads the text of the configuration file "path" into "text": only a
 * regular file (a FIFO is opened without waiting for a writer, a device or
 * folder is refused) of at most GRABBER_CONFIG_MAX bytes. Returns 1, or 0
 * with the reason in "why". */
static int GrabberReadConfigText(const std::string &path, std::string *text, std::string *why) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *why = "no configuration at " + path + " (" + strerror(errno) + "); run " GRABBER_NAME
           " --configure";
    return 0;
  }
  struct stat st;
  std::vector<char> buffer(GRABBER_CONFIG_MAX + 1);
  size_t got = 0;
  ssize_t n = 1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = path + " is not a regular file";
    n = -1;
  }
  while (n > 0 && got < buffer.size()) {
    n = read(fd, buffer.data() + got, buffer.size() - got);
    if (n < 0 && errno == EINTR) n = 1;
    else if (n > 0) got += (size_t)n;
    else if (n < 0) *why = "cannot read " + path + ": " + strerror(errno);
  }
  close(fd);
  if (n >= 0 && got > GRABBER_CONFIG_MAX) {
    *why = path + " is larger than " + std::to_string(GRABBER_CONFIG_MAX) + " bytes: not a configuration";
    n = -1;
  }
  if (n < 0) return 0;
  text->assign(buffer.data(), got);
  return 1;
}

/* Reads the configuration file "path" ("key=value" lines, '#' comments)
 * into "c". Returns 1; 0 with the reason in "why" when the file is missing,
 * not a regular file, too large, or holds an unknown key or an unusable
 * value. */
static int GrabberReadConfig(const std::string &path, GrabberConfig *c, std::string *why) {
  std::string text;
  if (!GrabberReadConfigText(path, &text, why)) return 0;
  std::istringstream in(text);
  *c = GrabberConfig();
  c->root = GRABBER_DEFAULT_ROOT;
  std::string line;
  for (int number = 1; std::getline(in, line); number++) {
    line = GrabberTrim(line);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    std::string key = GrabberTrim(line.substr(0, eq));
    std::string value = eq == std::string::npos ? "" : GrabberTrim(line.substr(eq + 1));
    std::string *slot = key == "root"             ? &c->root
                        : key == "demux"          ? &c->demux
                        : key == "source-command" ? &c->command
                        : key == "grabber"        ? &c->grabber
                                                  : nullptr;
    if (!slot || eq == std::string::npos) {
      *why = path + " line " + std::to_string(number) + ": unknown setting '" + line + "'";
      return 0;
    }
    *slot = value;
  }
  std::string problem = GrabberConfigProblem(*c);
  if (!problem.empty()) *why = path + ": " + problem;
  return problem.empty();
}

/* Asks "question" on standard error with the default "def" and reads one
 * answer line from standard input into "*answer" ("def" when empty).
 * Returns 1, or 0 at the end of the input. */
static int GrabberAsk(const std::string &question, const std::string &def, std::string *answer) {
  fprintf(stderr, "%s [%s]: ", question.c_str(), def.c_str());
  fflush(stderr);
  char *line = nullptr;
  size_t size = 0;
  ssize_t n = getline(&line, &size, stdin);
  std::string text = n > 0 ? std::string(line, (size_t)n) : "";
  free(line);
  if (n <= 0) {
    fprintf(stderr, "\n");
    return 0;
  }
  if (text.back() == '\n') text.pop_back();
  text = GrabberTrim(text);
  *answer = text.empty() ? def : text;
  return 1;
}

/* Asks until the answer is one of "choices" (separated by ", "), with "def"
 * as the default every time, and puts it in "*answer". Returns 1, or 0 at the
 * end of the input. */
static int GrabberAskChoice(const std::string &question, const std::string &choices,
                            const std::string &def, std::string *answer) {
  const std::string list = ", " + choices + ",";
  for (;;) {
    std::string given;
    if (!GrabberAsk(question + " (" + choices + ")", def, &given)) return 0;
    if (list.find(", " + given + ",") != std::string::npos) {
      *answer = given;
      return 1;
    }
    fprintf(stderr, "Please answer one of: %s\n", choices.c_str());
  }
}

/* Writes "c" to "path" (through a temporary file, so that the old file stays
 * whole until the new one is complete), making its folder when missing.
 * Returns 1, or 0 after a message. */
static int GrabberWriteConfig(const std::string &path, const GrabberConfig &c) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      fprintf(stderr, GRABBER_NAME ": cannot make %s: %s\n", dir.c_str(), strerror(errno));
      return 0;
    }
  }
  std::string temp = path + ".new";
  FILE *f = fopen(temp.c_str(), "w");
  if (!f) {
    fprintf(stderr, GRABBER_NAME ": cannot write %s: %s\n", temp.c_str(), strerror(errno));
    return 0;
  }
  fprintf(f, "# " GRABBER_NAME " configuration, written by --configure\n");
  fprintf(f, "# the guide database root that mhw2grab fills\nroot=%s\n", c.root.c_str());
  if (!c.demux.empty()) fprintf(f, "# grabbed before each export\ndemux=%s\n", c.demux.c_str());
  if (!c.command.empty())
    fprintf(f, "# its standard output, the transport stream, is grabbed before each export\n"
               "source-command=%s\n", c.command.c_str());
  if (!c.grabber.empty()) fprintf(f, "grabber=%s\n", c.grabber.c_str());
  int ok = !ferror(f);
  if (fclose(f) != 0) ok = 0;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = 0;
  if (!ok) {
    fprintf(stderr, GRABBER_NAME ": cannot write %s: %s\n", path.c_str(), strerror(errno));
    unlink(temp.c_str());
  }
  return ok;
}

/* "path" made absolute against the working folder, so that a configuration
 * means the same wherever the grabber is started from. */
static std::string GrabberAbsolute(const std::string &path) {
  char cwd[4096];
  if (path.empty() || path[0] == '/' || !getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

/* --configure: asks for the database root and an optional source, with the
 * current configuration (when there is one) as defaults, and writes it.
 * Returns the exit code. */
static int GrabberConfigure(const GrabberOptions &o) {
  GrabberConfig c;
  std::string why;
  if (!GrabberReadConfig(o.config_file, &c, &why)) {
    c = GrabberConfig();
    c.root = GRABBER_DEFAULT_ROOT;
  }
  fprintf(stderr, "Configuring " GRABBER_NAME "; the answers go to %s.\n", o.config_file.c_str());
  std::string kind = !c.demux.empty() ? "demux" : !c.command.empty() ? "source-command" : "none";
  std::string answer;
  int ok = GrabberAsk("Guide database root", c.root, &c.root) &&
           GrabberAskChoice("Source to grab before each export", "none, demux, source-command",
                            kind, &kind);
  if (ok && kind == "demux") {
    ok = GrabberAsk("Demux device, recording or FIFO, or auto",
                    c.demux.empty() ? GRABBER_DEFAULT_DEMUX : c.demux, &answer);
    c.demux = answer == "auto" ? answer : GrabberAbsolute(answer);
    c.command.clear();
  } else if (ok && kind == "source-command") {
    do {
      ok = GrabberAsk("Shell command writing the guide transponder's transport stream to its "
                      "standard output", c.command, &answer);
    } while (ok && answer.empty());
    c.command = answer;
    c.demux.clear();
  } else if (ok) {
    c.demux.clear();
    c.command.clear();
  }
  if (!ok) {
    fprintf(stderr, GRABBER_NAME ": the input ended; nothing written\n");
    return 1;
  }
  c.root = GrabberAbsolute(c.root);
  std::string problem = GrabberConfigProblem(c);
  if (!problem.empty()) {
    fprintf(stderr, GRABBER_NAME ": %s; nothing written\n", problem.c_str());
    return 1;
  }
  if (!GrabberWriteConfig(o.config_file, c)) return 1;
  fprintf(stderr, "Configuration written to %s.\n", o.config_file.c_str());
  return 0;
}

/* Local midnight "days" days after today's, in seconds since 1970. */
static int64_t GrabberLocalMidnight(int days) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_mday += days;
  tm.tm_isdst = -1;
  return (int64_t)mktime(&tm);
}

/* The programmes --days and --offset keep: those that start in the local
 * days asked for (a programme belongs to the day it starts in). */
static XmltvSelection GrabberSelection(const GrabberOptions &o) {
  XmltvSelection s = {};
  s.channels_only = o.list_channels;
  if (o.days > 0 || o.has_offset) {
    s.has_window = 1;
    s.from = GrabberLocalMidnight(o.offset);
    s.to = o.days > 0 ? GrabberLocalMidnight(o.offset + o.days) : INT64_MAX;
  }
  return s;
}

/* Opens the guide of "root" for reading into "*reader". Nothing stored yet
 * (a root folder without a database file) leaves it null. Returns 1, or 0
 * after a message when the root cannot be used. */
static int GrabberOpenGuide(const std::string &root, epgdb_reader_t **reader) {
  struct stat st;
  std::string file = root + "/guide.db";
  if (stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && stat(file.c_str(), &st) != 0 &&
      errno == ENOENT) {
    *reader = nullptr;
    return 1;
  }
  char why[512];
  *reader = epgdb_reader_open(root.c_str(), why, sizeof why);
  if (!*reader) fprintf(stderr, GRABBER_NAME ": unusable guide database root: %s\n", why);
  return *reader != nullptr;
}

/* The export (and the grab before it): the exit code. */
static int GrabberRun(const GrabberOptions &o, const GrabberConfig &c) {
  if (!o.list_channels && (!c.demux.empty() || !c.command.empty())) {
    XmltvSource source;
    source.root = c.root;
    source.demux = c.demux;
    source.command = c.command;
    source.grabber = c.grabber.empty() ? XmltvGrabBesideSelf() : c.grabber;
    if (!XmltvGrab(&source, o.quiet, o.debug)) return 1;
  }
  epgdb_reader_t *reader = nullptr;
  if (!GrabberOpenGuide(c.root, &reader)) return 1;
  if (o.debug)
    fprintf(stderr, GRABBER_NAME ": reading %s\n", reader ? epgdb_reader_path(reader) : "nothing");
  XmltvOutput out;
  std::string why;
  if (!XmltvOutputOpen(&out, o.output, o.socket, o.socket_timeout, &why)) {
    fprintf(stderr, GRABBER_NAME ": %s\n", why.c_str());
    epgdb_reader_close(reader);
    return 1;
  }
  XmltvSelection selection = GrabberSelection(o);
  XmltvCounts counts = {0, 0};
  int ok = XmltvWriteGuide(out.stream, reader, GRABBER_NAME "/" GRABBER_VERSION, &selection, &counts, &why);
  epgdb_reader_close(reader);
  ok = XmltvOutputClose(&out, ok, &why);
  if (!ok) {
    fprintf(stderr, GRABBER_NAME ": %s\n", why.c_str());
    return 1;
  }
  if (!o.quiet)
    fprintf(stderr, GRABBER_NAME ": %ld channels and %ld programmes written%s%s\n", counts.channels,
            counts.programmes, o.socket.empty() ? "" : " to ", o.socket.c_str());
  return 0;
}

int main(int argc, char **argv) {
  GrabberOptions o = {};
  o.socket_timeout = GRABBER_SOCKET_TIMEOUT;
  if (GrabberParseOptions(argc, argv, &o)) return 1;
  if (o.help) return fputs(GRABBER_USAGE, stdout) < 0;
  if (o.capabilities) return puts("baseline\nmanualconfig\npreferredmethod") < 0;
  if (o.preferredmethod) return puts("allatonce") < 0;
  if (o.version) return puts("This is " GRABBER_NAME " version " GRABBER_VERSION) < 0;
  if (o.description) return puts(GRABBER_DESCRIPTION) < 0;
  if (o.config_file.empty()) o.config_file = GrabberDefaultConfig();
  if (o.configure) return GrabberConfigure(o);

  GrabberConfig c;
  std::string why;
  if (!GrabberReadConfig(o.config_file, &c, &why)) {
    fprintf(stderr, GRABBER_NAME ": %s\n", why.c_str());
    return 1;
  }
  if (o.debug) fprintf(stderr, GRABBER_NAME ": configuration %s\n", o.config_file.c_str());
  return GrabberRun(o, c);
}
