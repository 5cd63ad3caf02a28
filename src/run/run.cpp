/* Run driver: the fixed sequence of one guide download. */
#include "run/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "config/config.h"
#include "demux/concurrent.h"
#include "epgdb.h"
#include "export/export.h"
#include "export/library.h"
#include "log/log.h"
#include "mhw2/mhw2.h"
#include "run/status.h"

static struct {
  char program_name[PATH_SIZE];
  char config_path[PATH_SIZE];
  char log_path[PATH_SIZE];
  char debug_log_path[PATH_SIZE];
  char db_root[PATH_SIZE];
  int log_open; /* the main log could be opened */
} Run;

int RunBuildPath(char *buffer, const char *format, const char *value) {
  int n = snprintf(buffer, PATH_SIZE, format, value);
  if (n < 0 || n >= PATH_SIZE) {
    buffer[0] = 0;
    return 0;
  }
  return 1;
}

/* The last path component of "path", as basename() returns it, without
 * changing "path": trailing '/' are ignored, "/" stays "/", "" gives ".". */
static void RunProgramName(const char *path, char *out) {
  size_t end = strlen(path);
  while (end > 1 && path[end - 1] == '/') end--;
  if (end == 0) {
    RunBuildPath(out, "%s", ".");
    return;
  }
  size_t start = end;
  while (start > 0 && path[start - 1] != '/') start--;
  if (start == end) start = end - 1; /* the path is "/" */
  char piece[PATH_SIZE];
  size_t n = end - start;
  if (n >= PATH_SIZE) {
    out[0] = 0;
    return;
  }
  memcpy(piece, path + start, n);
  piece[n] = 0;
  RunBuildPath(out, "%s", piece);
}

/* Step 13: stores every event that received no summary, with its own title
 * as summary title and an empty text, and frees each record once stored. The
 * events that got a summary were handed over and freed by attachment. */
static void RunStoreEventsWithoutSummary(int32_t *with_summary, int32_t *without_summary) {
  WriteDebug("=============================\n");
  WriteDebug("Process done\n");
  WriteDebug("Adding events without summary\n");
  WriteDebug("=============================\n");
  StatusSend("LOGTEXT %s", "Adding events without summary\n");
  *with_summary = 0;
  *without_summary = 0;
  for (EventRecord *e = GuideEventList(), *next; e; e = next) {
    next = GuideNextEvent(e);
    if (!(e->flags & EVENT_HAS_SUMMARY)) {
      (*without_summary)++;
      StoreEventWithAliases(e, e->title, "");
    }
    GuideFreeEvent(e);
  }
  *with_summary = GuideGetCounters()->total_events - *without_summary;
}

/* One table pass as the frontend sees it: "LOGTEXT <text>", the pass, then
 * "LOGTEXT <text> (<count>)" with the counter the pass leaves. */
static void RunPass(const char *text, int32_t (*pass)(void), const int32_t *count) {
  StatusSend("LOGTEXT %s\n", text);
  pass();
  StatusSend("LOGTEXT %s (%d)\n", text, *count);
}

/* Steps 9 to 14: the channel table, the enabled passes, the final pass. */
static void RunDownload(void) {
  RunSettings *settings = ConfigSettings();
  GuideCounters *counters = GuideGetCounters();

  StatusSend("LOGTEXT %s", "Downloading channels\n");
  int32_t channels = DownloadChannelList();
  if (channels <= 0) return;
  StatusSend("LOGTEXT Downloading channels (%d)\n", channels);
  /* Every enabled table at once; the passes below take them in their order. */
  if (settings->parallel_download)
    DownloadTablesAtOnce(settings->download_3_days, settings->download_7_days);

  if (settings->download_3_days)
    RunPass("Downloading 3 days events", DownloadEvents3days, &counters->new_3day_events);
  if (settings->download_7_days)
    RunPass("Downloading 7 days events", DownloadEvents7days, &counters->new_7day_events);
  if (counters->total_events <= 0) {
    DemuxCollectRelease(); /* summaries collected at once go unused */
    return;
  }
  /* From here on the records go as they are handed to the guide database. */
  GuideEndEvents();

  if (settings->download_3_days)
    RunPass("Downloading 3 days summaries", DownloadSummaries3days, &counters->summaries_3days);
  if (settings->download_7_days)
    RunPass("Downloading 7 days summaries", DownloadSummaries7days, &counters->summaries_7days);

  int32_t with_summary, without_summary;
  RunStoreEventsWithoutSummary(&with_summary, &without_summary);

  counters->summaries_attached = counters->summaries_3days + counters->summaries_7days;
  StatusSend("LOGTEXT Done. %d channels - %d events - %d summaries\n", counters->channel_count,
             counters->total_events, counters->summaries_attached);
  WriteLog("%d channels - %d events - %d summaries", counters->channel_count,
           counters->total_events, counters->summaries_attached);
  WriteLog("%d events with summary - %d events without summary", with_summary, without_summary);
  if (ExportEventsLeftOut() > 0)
    WriteLog("%d events left out by the limit of decoded text", ExportEventsLeftOut());
  WriteDebug("%d summaries without event\n", counters->summaries_without_event);
}

/* Opens every closed descriptor among 0 to 2 on /dev/null, before the run
 * opens any file of its own: a log or the guide database that took
 * descriptor 1 would otherwise receive every status line. */
static void RunOpenStandardDescriptors(void) {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    /* The lower descriptors are open by now, so this one is the lowest free. */
    int opened = open("/dev/null", O_RDWR);
    if (opened > fd) close(opened);
  }
}

/* Logs the guide database library's reason for its last failure, after the
 * run's own message, so that the main log says why and not only what. A
 * library that gives no reasons leaves the run's own message alone. */
static void RunLogDatabaseReason(void) {
  const char *why = ExportLibraryError();
  if (why && why[0]) WriteLog("EPGDB: %s", why);
}

/* Says on standard error why the run ended early or found nothing: one line
 * with the program's name, the text of "format" (the device or the root that
 * failed) and where the main log is. Standard output keeps only the status
 * lines the frontend reads. */
static void RunTellReason(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void RunTellReason(const char *format, ...) {
  char what[2 * PATH_SIZE + 256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(what, sizeof what, format, ap);
  va_end(ap);
  const char *name = Run.program_name[0] ? Run.program_name : "mhw2grab";
  if (Run.log_open) fprintf(stderr, "%s: %s; see the main log %s\n", name, what, Run.log_path);
  else fprintf(stderr, "%s: %s; no main log was written\n", name, what);
}

/* The reason, on standard error, why the guide database at the run's root
 * was not opened: the root argument, else the library's reason when it
 * gives one. */
static void RunTellDatabaseReason(int root_empty, int root_fits) {
  if (root_empty) {
    RunTellReason("the guide database was not opened: the database root argument is empty");
  } else if (!root_fits) {
    RunTellReason("the guide database was not opened: the database root is longer than %d "
                  "characters", PATH_SIZE - 1);
  } else {
    const char *why = ExportLibraryError();
    RunTellReason("the guide database at %s could not be opened%s%s", Run.db_root,
                  why && why[0] ? ": " : "", why && why[0] ? why : "");
  }
}

int RunMain(int argc, char **argv) {
  const char *argv0 = (argc > 0 && argv[0]) ? argv[0] : "mhw2grab";
  RunOpenStandardDescriptors();
  /* A file-size limit must fail the database write (and so the save, which
   * then keeps the earlier guide) rather than kill the run half way. A
   * frontend that goes away (its pipe closed, its terminal hung up) must not
   * kill the run before the save either: status lines then fail and are
   * dropped. */
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);

  /* 1. File names from argv[0]. A name that does not fit its 256-byte
   * buffer is refused (left empty), never cut or written past the buffer. */
  int config_fits = RunBuildPath(Run.config_path, "%s.conf", argv0);
  RunProgramName(argv0, Run.program_name);
  int names_fit = Run.program_name[0] != 0;
  if (names_fit) {
    RunBuildPath(Run.debug_log_path, "/tmp/%s.debug.log", Run.program_name);
    RunBuildPath(Run.log_path, "/tmp/%s.log", Run.program_name);
  }
  LogSetDebugPath(Run.debug_log_path);

  /* 2. Main log first of all; the run goes on without it. */
  Run.log_open = Run.log_path[0] && OpenLog(Run.log_path);

  /* 3. Announce the program. */
  WriteLog("%s v%s", Run.program_name, RUN_VERSION);
  StatusSend("TYPE RUNNING CSCRIPT %s v%s\n", Run.program_name, RUN_VERSION);

  /* 4. Configuration (and auto-detection when it asks for it). */
  if (!config_fits) {
    WriteLog("Config file path too long (more than %d characters). Using default config values",
             PATH_SIZE - 1);
  } else if (ReadConfig(Run.config_path) != 0) {
    RunTellReason("no demux found: none of /dev/dvb/adapter0/demux0 to demux15 delivers the MHW2 "
                  "channel table");
    FreeGuide();
    CloseLog();
    return 1;
  }

  /* 5. Database root from argv[1], without trailing '/'. An empty argument
   * (an unset variable in the frontend's command line) names no root: it is
   * refused, not taken for the file system's root. */
  int root_fits = 1, root_empty = 0;
  if (argc > 1 && argv[1]) {
    root_empty = argv[1][0] == 0;
    root_fits = RunBuildPath(Run.db_root, "%s", argv[1]);
  } else {
    RunBuildPath(Run.db_root, "%s", "/hdd/tarnwell");
  }
  size_t root_len = strlen(Run.db_root);
  while (root_len > 0 && Run.db_root[root_len - 1] == '/') Run.db_root[--root_len] = 0;

  /* 6. Open the guide database. */
  if (root_empty) WriteLog("db_root is empty (the database root argument is an empty text)");
  else if (!root_fits) WriteLog("db_root too long (more than %d characters)", PATH_SIZE - 1);
  else WriteLog("db_root = %s", Run.db_root);
  if (root_empty || !root_fits || !epgdb_open(Run.db_root)) {
    WriteLog("Error opening EPGDB");
    if (!root_empty && root_fits) RunLogDatabaseReason();
    RunTellDatabaseReason(root_empty, root_fits);
    epgdb_close();
    FreeGuide();
    CloseLog();
    return 1;
  }

  /* 7. Ready to download. */
  WriteLog("EPGDB opened (root=%s)", Run.db_root);
  GuideCounters *counters = GuideGetCounters();
  counters->total_events = 0;
  WriteLog("Using demux: %s", ConfigSettings()->demux_path);

  /* 8 to 14. Demux, channel table, passes, final pass. */
  const char *demux = ConfigSettings()->demux_path;
  if (DemuxInit(demux)) RunDownload();
  else RunTellReason("the demux %s could not be opened (%s): nothing was grabbed", demux,
                     strerror(errno));

  /* 15. End of run. */
  FreeGuide();
  DemuxCollectRelease();
  DemuxClose();
  if (counters->total_events <= 0) {
    WriteLog("Nothing added to database");
  } else if (epgdb_save(nullptr)) {
    int written = 0, replaced = 0, expired = 0;
    int counted = ExportLibrarySaveCounts(&written, &replaced, &expired);
    WriteLog("Data saved");
    /* Only a library that counts its save says what the save did. */
    if (counted)
      WriteLog("%d titles saved - %d stored titles replaced - %d expired", written, replaced,
               expired);
    if (ExportEventsLeftOut() > 0) WriteLog("The saved guide is partial");
  } else {
    WriteLog("Error saving data");
    RunLogDatabaseReason();
  }
  epgdb_close();
  ExportForgetChannels();
  epgdb_clean();
  WriteLog("EPGDB closed and memory cleaned");
  WriteLog("done\n");
  CloseLog();
  CloseDebugLog();
  return 0;
}
