/* Program entry of the guide grabber: answers --help and --version, refuses
 * any other option, and hands every other command line to the run. */
#include <stdio.h>
#include <string.h>

#include "run/run.h"

/* Writes the usage text to "out", with "name" as the program's name. */
static void RunUsage(FILE *out, const char *name) {
  fprintf(out,
          "Usage: %s [DB_ROOT]\n"
          "       %s --help | -h | --version\n"
          "\n"
          "Grabs the MHW2 programme guide that the demux delivers (the receiver's tuner\n"
          "sits on the guide transponder) into the guide database DB_ROOT/guide.db,\n"
          "then exits. DB_ROOT defaults to /hdd/tarnwell; a DB_ROOT that begins with\n"
          "'-' is given as ./-NAME. The configuration is the program's own path\n"
          "followed by .conf (keys demux, Download_3_Days, Download_7_Days,\n"
          "ConvertToUTF8, ParallelDownload, debug, alias), the main log\n"
          "/tmp/%s.log.\n"
          "\n"
          "Standard output carries only status lines for the frontend (TYPE RUNNING,\n"
          "LOGTEXT, PROGRESS); a run that cannot open or find the demux, or cannot\n"
          "open the guide database, says why on standard error.\n"
          "\n"
          "Exit codes: 0 the run reached its end (also when nothing was received);\n"
          "1 it did not start (no demux found by auto-detection, the guide database\n"
          "not opened) or an option was refused.\n",
          name, name, name);
}

/* Answers a first argument that is an option. Returns -1 when "argv[1]" is
 * none (the run goes on), else the exit code: 0 after the usage or version on
 * standard output, 1 after the usage on standard error. Nothing is opened or
 * created either way. */
static int RunOptions(int argc, char **argv) {
  if (argc < 2 || !argv[1] || argv[1][0] != '-') return -1;
  const char *path = argv[0] && argv[0][0] ? argv[0] : "mhw2grab";
  const char *slash = strrchr(path, '/');
  const char *name = slash && slash[1] ? slash + 1 : path;
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    RunUsage(stdout, name);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("%s %s\n", name, RUN_VERSION);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  fprintf(stderr,
          "%s: unknown option '%s' (a database root that begins with '-' is given as ./%s)\n", name,
          argv[1], argv[1]);
  RunUsage(stderr, name);
  return 1;
}

int main(int argc, char **argv) {
  int answered = RunOptions(argc, argv);
  if (answered >= 0) return answered;
  return RunMain(argc, argv);
}
