/* End-to-end test support: runs the built grabber in a private folder under
 * a unique program name, so parallel tests never share a /tmp log. */
#ifndef MHW2_TEST_RUN_HELPER_H
#define MHW2_TEST_RUN_HELPER_H

#include <string>
#include <vector>

struct GrabResult {
  int exit_code = -1;       /* exit status, or 128+signal */
  std::string out;          /* everything written to standard output */
  std::string log;          /* the main log after the run */
  std::string debug_log;    /* the debug log after the run ("" when missing) */
  bool debug_log_exists = false;
};

/* A temporary folder holding a link to build/mhw2grab under a unique name.
 * Removes the folder and the program's /tmp logs when it goes. */
class GrabDir {
 public:
  explicit GrabDir(const std::string &tag);
  ~GrabDir();
  GrabDir(const GrabDir &) = delete;
  GrabDir &operator=(const GrabDir &) = delete;

  std::string dir;      /* the private folder */
  std::string name;     /* the program name (argv[0]'s last component) */
  std::string exe;      /* dir + "/" + name: argv[0] of the run */
  std::string root;     /* dir + "/db": the default database root argument */
  std::string err_path; /* when set, each run's standard error goes to this file */
  std::string LogPath() const { return "/tmp/" + name + ".log"; }
  std::string DebugLogPath() const { return "/tmp/" + name + ".debug.log"; }

  /* Writes the configuration file beside the program (exe + ".conf"). */
  void WriteConfig(const std::string &text) const;
  /* Runs the program with "args" after argv[0] (by default the root) and the
   * extra environment entries "env" ("NAME=value"); kills it after
   * "timeout_s" seconds. */
  GrabResult Run(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                 int timeout_s = 120) const;
  GrabResult Run() const { return Run({root}); }
};

/* The environment of a run: this process's environment followed by "extra"
 * ("NAME=value" entries; a later entry wins). */
std::vector<std::string> GrabEnvironment(const std::vector<std::string> &extra);
/* The extra environment of a run on the virtual adapter: the preload library
 * and "vars". A sanitizer runtime, when the build has one, must accept being
 * preloaded after the adapter; options the caller already sets are kept. */
std::vector<std::string> AdapterEnv(std::vector<std::string> vars = {});

/* The bytes of a regular file ("" for anything else, so a FIFO planted at a
 * log path never blocks the reader). */
std::string ReadFileText(const std::string &path);
void WriteFileText(const std::string &path, const std::string &text);
std::vector<std::string> SplitLines(const std::string &text);
/* The lines of a log without their 20-character timestamps. */
std::vector<std::string> LogMessages(const std::string &log);
/* True when "lines" holds "line" exactly. */
bool HasLine(const std::vector<std::string> &lines, const std::string &line);
/* Runs a shell command and returns its standard output. */
std::string ShellOutput(const std::string &command);

#endif
