/* Guide database test support: a private database root that goes away with
 * the test, titles added the way the grabber adds them, and the file read
 * back through the library's read interface or, for its layout, the sqlite3
 * shell. */
#ifndef TARNWELL_GUIDE_DB_HELPER_H
#define TARNWELL_GUIDE_DB_HELPER_H

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "epgdb.h"
#include "support/guide_dump.h"
#include "support/run_helper.h"

/* The tables of a guide database file of schema version 1, as the sqlite3
 * shell builds them (user_version is left to the caller). */
#define GUIDE_SCHEMA_V1_SQL                                                              \
  "CREATE TABLE channels(id INTEGER PRIMARY KEY, nid INTEGER NOT NULL,"                 \
  " tsid INTEGER NOT NULL, sid INTEGER NOT NULL, UNIQUE(nid, tsid, sid));"              \
  "CREATE TABLE titles(channel_id INTEGER NOT NULL REFERENCES channels(id),"            \
  " start_time INTEGER NOT NULL, length INTEGER NOT NULL,"                              \
  " event_id INTEGER NOT NULL, mjd INTEGER NOT NULL, flags INTEGER NOT NULL,"           \
  " language TEXT NOT NULL, description BLOB NOT NULL,"                                 \
  " long_description BLOB NOT NULL, PRIMARY KEY(channel_id, start_time));"

/* Standard error of this process goes to the file "path" while it lives. */
struct GuideStderr {
  int saved = dup(2);
  explicit GuideStderr(const std::string &path) {
    fflush(stderr);
    if (!freopen(path.c_str(), "w", stderr)) fprintf(stdout, "cannot write %s\n", path.c_str());
  }
  ~GuideStderr() {
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
  }
};

/* A fresh folder under /tmp; "root" is a database root inside it that does
 * not exist yet. Closes and cleans the library and removes the folder. */
struct GuideRoot {
  std::string dir;
  std::string root;
  std::string file;
  GuideRoot() {
    char templ[] = "/tmp/tarnwell-test-XXXXXX";
    const char *made = mkdtemp(templ);
    dir = made ? made : "/tmp/tarnwell-test-failed";
    root = dir + "/db";
    file = root + "/guide.db";
  }
  ~GuideRoot() {
    epgdb_close();
    epgdb_clean();
    std::string cmd = "chmod -R u+w '" + dir + "' 2>/dev/null; rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
  GuideRoot(const GuideRoot &) = delete;
  GuideRoot &operator=(const GuideRoot &) = delete;
};

/* A start time on a whole hour, a few hours ahead, so no save expires it. */
inline uint32_t GuideFutureHour() { return (uint32_t)((time(nullptr) / 3600 + 3) * 3600); }

/* Adds one title as the grabber does (alloc, fill, add, both texts) and
 * returns the title the library gave back. */
inline epgdb_title_t *GuideAddTitle(epgdb_channel_t *channel, uint32_t start, uint16_t length,
                                    const std::string &description,
                                    const std::string &long_description, uint8_t flags = 0) {
  epgdb_title_t *record = epgdb_title_alloc();
  record->event_id = (uint16_t)(start / 60 % 44640);
  record->mjd = (uint16_t)epgdb_calculate_mjd(start);
  record->start_time = start;
  record->length = length;
  record->flags = flags;
  memcpy(record->language, "spa", 3);
  epgdb_title_t *title = epgdb_titles_add(channel, record);
  epgdb_titles_set_description(title, description.c_str());
  epgdb_titles_set_long_description(title, long_description.c_str());
  return title;
}

/* Single-quotes "text" for the shell. */
inline std::string GuideShellQuote(const std::string &text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

/* The output of "sql" run by the sqlite3 shell on the file "path"
 * (columns separated by '|', one row per line). */
inline std::string GuideSql(const std::string &path, const std::string &sql) {
  return ShellOutput("sqlite3 -batch -noheader -separator '|' " + GuideShellQuote(path) + " " +
                     GuideShellQuote(sql) + " 2>&1");
}

/* Runs the shell command "command", returns its exit code (-1 when it did
 * not exit normally) with its standard output in "*out". */
inline int GuideCommand(const std::string &command, std::string *out) {
  out->clear();
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* The bytes of the file "path" ("" when it cannot be read). */
inline std::string GuideFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

#endif
