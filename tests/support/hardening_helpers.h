/* End-to-end support for the hardening tests: starts the grabber (or a tool
 * that wraps it) with a free argv, watches its status lines while it runs,
 * kills it or waits for it with its resource usage, and reads the guide
 * database back in a canonical form. */
#ifndef MHW2_TEST_HARDENING_HELPERS_H
#define MHW2_TEST_HARDENING_HELPERS_H

#include <sys/resource.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

/* True in builds with the address or undefined-behaviour sanitizer, where
 * valgrind cannot run and memory figures are the sanitizer's. */
#if defined(MHW2_SANITIZED) || defined(__SANITIZE_ADDRESS__)
#define HARD_SANITIZED 1
#else
#define HARD_SANITIZED 0
#endif

/* A started program whose standard output comes through a pipe. */
struct HardChild {
  pid_t pid = -1;
  int out_fd = -1;
  std::string out;    /* standard output read so far */
  int status = -1;    /* exit code, or 128+signal, once reaped */
  struct rusage usage {};
};

/* Starts "path" with "argv" (argv[0] included, free to differ from "path")
 * and the current environment plus "env" ("NAME=value"). With "output_full"
 * the pipe is filled before the start, so that the program's first write to
 * standard output waits until the pipe is read or closed. Returns false when
 * the fork failed. */
bool HardStart(HardChild *child, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env = {}, bool output_full = false);
/* Reads standard output until a whole line starting with "prefix" arrived.
 * Returns true when it did, false at the end of the output or after
 * "timeout_ms". */
bool HardReadUntilLine(HardChild *child, const std::string &prefix, int timeout_ms);
/* Reads the rest of the output and reaps the child with its resource usage;
 * kills it first when it is still running after "timeout_s". Returns
 * "status". */
int HardFinish(HardChild *child, int timeout_s = 120);
/* True when the child has already exited (it is reaped then). */
bool HardExited(HardChild *child);

/* The answer of PRAGMA integrity_check on "db" ("ok\n" for a sound file). */
std::string HardIntegrity(const std::string &db);
/* The sections on "pid" of the recording "path" whose first byte is
 * "table_id", in recording order, each once (one lap of the file). */
std::vector<std::vector<uint8_t>> HardRecordingSections(const std::string &path, uint16_t pid,
                                                        uint8_t table_id);
/* Copies the file "from" to "to" byte for byte. Returns true on success. */
bool HardCopyFile(const std::string &from, const std::string &to);

#endif
