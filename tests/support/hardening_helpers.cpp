/* End-to-end support for the hardening tests. */
#include "support/hardening_helpers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "demux/tsfilter.h"
#include "support/run_helper.h"

/* Fills the pipe behind "fd" (shrunk to one page first) until a write
 * would block. Returns true when it is full. */
static bool HardFillPipe(int fd) {
  fcntl(fd, F_SETPIPE_SZ, 4096);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  char block[512] = {};
  while (write(fd, block, sizeof(block)) > 0) {
  }
  bool full = errno == EAGAIN;
  while (write(fd, block, 1) > 0) {
  }
  return fcntl(fd, F_SETFL, flags) == 0 && full;
}

bool HardStart(HardChild *child, const std::string &path, const std::vector<std::string> &argv,
               const std::vector<std::string> &env, bool output_full) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return false;
  if (output_full && !HardFillPipe(out_pipe[1])) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  /* Everything the child needs is built before the fork. */
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envs = GrabEnvironment(env);
  std::vector<char *> envp;
  for (auto &e : envs) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    close(out_pipe[0]);
    close(out_pipe[1]);
    execve(path.c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  child->pid = pid;
  child->out_fd = out_pipe[0];
  child->out.clear();
  child->status = -1;
  return true;
}

static long long HardNowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* True when "out" holds a whole line starting with "prefix". */
static bool HardHasLine(const std::string &out, const std::string &prefix) {
  for (size_t at = 0; at < out.size();) {
    size_t nl = out.find('\n', at);
    if (nl == std::string::npos) return false;
    if (out.compare(at, prefix.size(), prefix) == 0) return true;
    at = nl + 1;
  }
  return false;
}

bool HardReadUntilLine(HardChild *child, const std::string &prefix, int timeout_ms) {
  long long deadline = HardNowMs() + timeout_ms;
  char buf[4096];
  while (!HardHasLine(child->out, prefix)) {
    long long left = deadline - HardNowMs();
    if (left <= 0 || child->out_fd < 0) return false;
    struct pollfd p = {child->out_fd, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    ssize_t n = read(child->out_fd, buf, sizeof(buf));
    if (n <= 0) {
      close(child->out_fd);
      child->out_fd = -1;
      return false;
    }
    child->out.append(buf, (size_t)n);
  }
  return true;
}

static void HardReap(HardChild *child, int status) {
  if (WIFEXITED(status)) child->status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) child->status = 128 + WTERMSIG(status);
  child->pid = -1;
}

bool HardExited(HardChild *child) {
  if (child->pid < 0) return true;
  int status = 0;
  if (wait4(child->pid, &status, WNOHANG, &child->usage) != child->pid) return false;
  HardReap(child, status);
  return true;
}

int HardFinish(HardChild *child, int timeout_s) {
  long long deadline = HardNowMs() + (long long)timeout_s * 1000;
  char buf[65536];
  while (child->out_fd >= 0) {
    long long left = deadline - HardNowMs();
    if (left <= 0) {
      if (child->pid > 0) kill(child->pid, SIGKILL);
      break;
    }
    struct pollfd p = {child->out_fd, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    ssize_t n = read(child->out_fd, buf, sizeof(buf));
    if (n <= 0) break;
    child->out.append(buf, (size_t)n);
  }
  if (child->out_fd >= 0) close(child->out_fd);
  child->out_fd = -1;
  if (child->pid > 0) {
    int status = 0;
    if (wait4(child->pid, &status, 0, &child->usage) == child->pid) HardReap(child, status);
  }
  return child->status;
}

std::string HardIntegrity(const std::string &db) {
  return ShellOutput("sqlite3 -bail '" + db + "' 'PRAGMA integrity_check;' 2>&1");
}

bool HardCopyFile(const std::string &from, const std::string &to) {
  int in = open(from.c_str(), O_RDONLY);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    close(in);
    return false;
  }
  char buf[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buf, sizeof(buf));
    if (n == 0) break;
    if (n < 0 || write(out, buf, (size_t)n) != n) {
      ok = false;
      break;
    }
  }
  close(in);
  return close(out) == 0 && ok;
}

std::vector<std::vector<uint8_t>> HardRecordingSections(const std::string &path, uint16_t pid,
                                                        uint8_t table_id) {
  std::string bytes = ReadFileText(path);
  TsFilter *f = new TsFilter();
  TsFilterReset(f);
  const uint8_t filter[1] = {table_id}, mask[1] = {0xFF};
  TsFilterSet(f, pid, filter, mask, nullptr, 1);
  TsFilterFeed(f, (const uint8_t *)bytes.data(), bytes.size());
  std::vector<std::vector<uint8_t>> sections;
  std::vector<uint8_t> section(TS_SECTION_MAX);
  int n;
  while ((n = TsFilterTake(f, section.data(), TS_SECTION_MAX)) > 0)
    sections.emplace_back(section.begin(), section.begin() + n);
  delete f;
  return sections;
}
