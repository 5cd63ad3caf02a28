/* End-to-end test support: runs the built grabber under a unique name. */
#include "support/run_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

GrabDir::GrabDir(const std::string &tag) {
  char templ[] = "/tmp/mhw2t-XXXXXX";
  if (!mkdtemp(templ)) abort();
  dir = templ;
  static int counter = 0;
  name = "grab_" + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  exe = dir + "/" + name;
  root = dir + "/db";
  std::string target = std::string(MHW2_BUILD_DIR) + "/mhw2grab";
  if (symlink(target.c_str(), exe.c_str()) != 0) abort();
}

GrabDir::~GrabDir() {
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  unlink(LogPath().c_str());
  unlink(DebugLogPath().c_str());
}

void GrabDir::WriteConfig(const std::string &text) const { WriteFileText(exe + ".conf", text); }

GrabResult GrabDir::Run(const std::vector<std::string> &args, const std::vector<std::string> &env,
                        int timeout_s) const {
  GrabResult result;
  int out_pipe[2];
  if (pipe(out_pipe) != 0) abort();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (!err_path.empty()) {
      int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (err >= 0) dup2(err, 2);
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envs = GrabEnvironment(env);
    std::vector<char *> envp;
    for (auto &e : envs) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  time_t deadline = time(nullptr) + timeout_s;
  char buf[65536];
  for (;;) {
    struct pollfd p = {out_pipe[0], POLLIN, 0};
    int left = (int)(deadline - time(nullptr));
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    int r = poll(&p, 1, left * 1000);
    if (r <= 0) continue;
    ssize_t n = read(out_pipe[0], buf, sizeof(buf));
    if (n <= 0) break;
    result.out.append(buf, (size_t)n);
  }
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.exit_code = 128 + WTERMSIG(status);
  result.log = ReadFileText(LogPath());
  struct stat st;
  result.debug_log_exists = stat(DebugLogPath().c_str(), &st) == 0;
  if (result.debug_log_exists) result.debug_log = ReadFileText(DebugLogPath());
  return result;
}

std::vector<std::string> GrabEnvironment(const std::vector<std::string> &extra) {
  std::vector<std::string> envs;
  for (char **e = environ; *e; e++) envs.push_back(*e);
  for (const auto &e : extra) envs.push_back(e);
  return envs;
}

std::vector<std::string> AdapterEnv(std::vector<std::string> vars) {
  vars.insert(vars.begin(), "LD_PRELOAD=" MHW2_BUILD_DIR "/libvdvb.so");
  if (!getenv("ASAN_OPTIONS")) vars.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
  return vars;
}

std::string ReadFileText(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::string &log) {
  std::vector<std::string> out;
  for (const auto &line : SplitLines(log)) out.push_back(line.size() >= 20 ? line.substr(20) : line);
  return out;
}

bool HasLine(const std::vector<std::string> &lines, const std::string &line) {
  for (const auto &l : lines)
    if (l == line) return true;
  return false;
}

std::string ShellOutput(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}
