/* Where the grabber's XMLTV document goes. A file is replaced only by a
 * whole document (written beside it, then renamed into place); a socket's
 * reader gets the document within a bounded time or the delivery fails. */
#include "xmltv_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <vector>

/* The step of the wait for a listener whose queue of connections is full. */
#define XMLTV_OUTPUT_CONNECT_POLL_MS 50

/* The monotonic clock in milliseconds. */
static long long XmltvOutputNowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Sends "size" bytes of the document to the socket of "cookie" (an
 * XmltvOutput), waiting for its reader at most until the deadline. Returns
 * "size", or -1 with errno set (ETIMEDOUT when the deadline passed). */
static ssize_t XmltvOutputSocketWrite(void *cookie, const char *data, size_t size) {
  XmltvOutput *out = (XmltvOutput *)cookie;
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(out->socket_fd, data + done, size - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += (size_t)n;
      out->sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    long long left = out->deadline_ms - XmltvOutputNowMs();
    if (left <= 0) {
      out->timed_out = 1;
      errno = ETIMEDOUT;
      return -1;
    }
    struct pollfd p = {out->socket_fd, POLLOUT, 0};
    poll(&p, 1, left > 0x7FFFFFFF ? 0x7FFFFFFF : (int)left);
  }
  return (ssize_t)size;
}

static int XmltvOutputSocketClose(void *cookie) {
  XmltvOutput *out = (XmltvOutput *)cookie;
  int r = close(out->socket_fd);
  out->socket_fd = -1;
  return r;
}

/* Connects to the UNIX socket "path" without blocking, waiting while the
 * listener's queue is full until the deadline, and gives the connection as
 * the stream of "out". Returns 1, or 0 with the reason in "why". */
static int XmltvOutputOpenSocket(XmltvOutput *out, const std::string &path, std::string *why) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *why = "socket path longer than " + std::to_string(sizeof address.sun_path - 1) +
           " characters: " + path;
    return 0;
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  out->deadline_ms = XmltvOutputNowMs() + (long long)out->timeout_s * 1000;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int r = fd < 0 ? -1 : connect(fd, (struct sockaddr *)&address, sizeof address);
  while (r != 0 && (errno == EAGAIN || errno == EINTR) && XmltvOutputNowMs() < out->deadline_ms) {
    usleep(XMLTV_OUTPUT_CONNECT_POLL_MS * 1000);
    r = connect(fd, (struct sockaddr *)&address, sizeof address);
  }
  if (r != 0) {
    if (errno == EAGAIN)
      *why = "the socket " + path + " took no connection within " + std::to_string(out->timeout_s) + " s";
    else
      *why = "nothing listens on the socket " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return 0;
  }
  out->socket_fd = fd;
  cookie_io_functions_t io = {nullptr, XmltvOutputSocketWrite, nullptr, XmltvOutputSocketClose};
  out->stream = fopencookie(out, "w", io);
  if (!out->stream) {
    *why = "socket " + path + ": " + strerror(errno);
    close(fd);
    out->socket_fd = -1;
  }
  return out->stream != nullptr;
}

/* Opens a temporary file beside the file "path" (the file a link leads to,
 * so that the link stays), with the mode and owner of the file it replaces
 * or the mode a new file would get, as the stream of "out". A device or FIFO
 * (such as /dev/stdout) is written as it is. Returns 1, or 0 with the
 * reason in "why". */
static int XmltvOutputOpenFile(XmltvOutput *out, const std::string &path, std::string *why) {
  struct stat st;
  int exists = stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    out->stream = fopen(path.c_str(), "w");
    if (!out->stream) *why = "cannot write " + path + ": " + strerror(errno);
    return out->stream != nullptr;
  }
  out->replaced = path;
  char *real = exists ? realpath(path.c_str(), nullptr) : nullptr;
  if (real) out->replaced = real;
  free(real);
  size_t slash = out->replaced.rfind('/');
  std::string dir = slash == std::string::npos ? "." : out->replaced.substr(0, slash + 1);
  if (slash == std::string::npos) dir += "/";
  std::string base = out->replaced.substr(slash == std::string::npos ? 0 : slash + 1);
  std::string templ = dir + "." + base + ".XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back(0);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot write " + path + ": no file can be made beside it (" + strerror(errno) + ")";
    return 0;
  }
  out->temp = name.data();
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~mask));
  /* A root run that replaces another user's guide leaves it theirs. */
  if (exists && geteuid() == 0) {
    int owned = fchown(fd, st.st_uid, st.st_gid) == 0;
    (void)owned; /* the guide is written all the same */
  }
  out->stream = fdopen(fd, "w");
  if (!out->stream) {
    *why = "cannot write " + path + ": " + strerror(errno);
    close(fd);
    unlink(out->temp.c_str());
    out->temp.clear();
  }
  return out->stream != nullptr;
}

int XmltvOutputOpen(XmltvOutput *out, const std::string &file, const std::string &socket, int timeout_s,
                    std::string *why) {
  /* A reader that has gone, or a file-size limit, must fail the write, not
   * end the program. */
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  out->stream = nullptr;
  out->socket_fd = -1;
  out->timeout_s = timeout_s;
  out->sent = 0;
  out->timed_out = 0;
  out->target = !socket.empty() ? socket : file;
  if (!socket.empty()) return XmltvOutputOpenSocket(out, socket, why);
  if (!file.empty()) return XmltvOutputOpenFile(out, file, why);
  out->stream = stdout;
  return 1;
}

int XmltvOutputClose(XmltvOutput *out, int ok, std::string *why) {
  if (!out->stream) return ok;
  if (out->stream == stdout) {
    out->stream = nullptr;
    return ok;
  }
  int written = fflush(out->stream) == 0 && !ferror(out->stream);
  int error = errno;
  if (written && !out->temp.empty() && fsync(fileno(out->stream)) != 0) written = 0, error = errno;
  if (fclose(out->stream) != 0 && written) written = 0, error = errno;
  out->stream = nullptr;
  if (out->timed_out) {
    *why = "the reader of the socket " + out->target + " took only " + std::to_string(out->sent) +
           " bytes of the document in " + std::to_string(out->timeout_s) + " s";
    ok = 0;
  } else if (ok && !written) {
    *why = "writing " + out->target + ": " + strerror(error);
    ok = 0;
  }
  if (out->temp.empty()) return ok;
  if (ok && rename(out->temp.c_str(), out->replaced.c_str()) != 0) {
    *why = "cannot replace " + out->target + ": " + strerror(errno);
    ok = 0;
  }
  if (!ok) {
    unlink(out->temp.c_str());
    *why += "; " + out->target + " is left as it was";
  }
  out->temp.clear();
  return ok;
}
