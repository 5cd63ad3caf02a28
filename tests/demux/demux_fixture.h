/* Shared pieces of the demux tests: a captured main log, a stream file, a FIFO. */
#ifndef MHW2_TEST_DEMUX_FIXTURE_H
#define MHW2_TEST_DEMUX_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "demux/concurrent.h"
#include "log/log.h"
#include "support/run_helper.h"

/* The main log goes to a private file for the life of the object. */
struct LogCapture {
  std::string path;
  LogCapture() {
    char templ[] = "/tmp/demuxlog-XXXXXX";
    int fd = mkstemp(templ);
    if (fd >= 0) close(fd);
    path = templ;
    OpenLog(path.c_str());
  }
  ~LogCapture() {
    CloseLog();
    unlink(path.c_str());
  }
  std::vector<std::string> Messages() const { return LogMessages(ReadFileText(path)); }
};

/* A temporary file with "bytes"; removed with the object. */
struct StreamFile {
  std::string path;
  explicit StreamFile(const std::vector<uint8_t> &bytes) {
    char templ[] = "/tmp/demuxts-XXXXXX";
    int fd = mkstemp(templ);
    path = templ;
    if (fd >= 0) {
      if (write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) path.clear();
      close(fd);
    }
  }
  ~StreamFile() { unlink(path.c_str()); }
};

/* A FIFO in a private folder, removed with the object. A writer that finds
 * its reader gone gets EPIPE instead of a signal. */
struct Fifo {
  std::string dir, path;
  Fifo() {
    char templ[] = "/tmp/demuxfifo-XXXXXX";
    dir = mkdtemp(templ);
    path = dir + "/stream";
    if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
    signal(SIGPIPE, SIG_IGN);
  }
  ~Fifo() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

/* Opens the FIFO "path" for writing once a reader has it open, trying for
 * at most five seconds (a reader that finished early never blocks the
 * writer's thread). Returns a blocking descriptor or -1. */
inline int FifoOpenWriter(const std::string &path) {
  for (int i = 0; i < 5000; i++) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    usleep(1000);
  }
  return -1;
}

/* Writes "bytes" into the FIFO in 100-byte pieces, keeps it open for
 * "hold_ms", then closes it. */
inline void WriteFifo(const std::string &path, std::vector<uint8_t> bytes, int hold_ms) {
  int fd = FifoOpenWriter(path);
  if (fd < 0) return;
  for (size_t at = 0; at < bytes.size(); at += 100) {
    size_t n = std::min<size_t>(100, bytes.size() - at);
    if (write(fd, bytes.data() + at, n) != (ssize_t)n) break;
  }
  if (hold_ms > 0) usleep((useconds_t)hold_ms * 1000);
  close(fd);
}

/* Closes the demux whatever a test left open. */
struct DemuxGuard {
  ~DemuxGuard() {
    DemuxCollectRelease();
    DemuxClose();
    FreeSectionList();
  }
};

#endif
