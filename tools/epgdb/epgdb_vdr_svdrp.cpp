/* The SVDRP connection of epgdb's vdr command: connecting within a timeout,
 * reading VDR's answers line by line, sending commands, and converting texts
 * into the character set VDR's greeting names. */
#include "epgdb_vdr_svdrp.h"

#include <errno.h>
#include <locale.h>
#include <netdb.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The longest line VDR's answers may hold before it counts as garbage. */
#define EPGDB_VDR_MAX_LINE 65536
/* The most bytes (line ends included) and lines one answer may hold: far
 * more than the channel list of the largest VDR, and a bound on what an
 * answer that never ends can take. */
#define EPGDB_VDR_MAX_ANSWER (16 * 1024 * 1024)
#define EPGDB_VDR_MAX_ANSWER_LINES 262144

/* Milliseconds of the monotonic clock. */
static int64_t EpgdbVdrNowMs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* "text" from VDR as a message may show it: bytes below 0x20 and 0x7F,
 * which could forge lines or steer the terminal, written as \xNN. */
static std::string EpgdbVdrPrintable(const std::string &text) {
  std::string out;
  char hex[8];
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += (char)c;
      continue;
    }
    snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  }
  return out;
}

/* Waits until the link's socket is ready for "events" or "deadline" (ms of
 * the monotonic clock) passes. Returns 1 when ready, 0 at the deadline, -1
 * on a failure (errno set). */
static int EpgdbVdrWait(const EpgdbVdrLink *link, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - EpgdbVdrNowMs();
    if (left <= 0) return 0;
    struct pollfd p = {link->fd, events, 0};
    int n = poll(&p, 1, (int)left);
    if (n > 0) return 1;
    if (n < 0 && errno != EINTR) return -1;
  }
}

int EpgdbVdrConnect(EpgdbVdrLink *link, const std::string &host, int port) {
  struct addrinfo hints = {}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  std::string service = std::to_string(port);
  int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (gai != 0) {
    fprintf(stderr, "epgdb: VDR at %s: %s\n", link->where.c_str(), gai_strerror(gai));
    return 0;
  }
  std::string why = "no address";
  int64_t deadline = EpgdbVdrNowMs() + link->timeout_s * 1000LL;
  for (struct addrinfo *a = found; a && link->fd < 0; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      why = strerror(errno);
      continue;
    }
    link->fd = fd;
    int error = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
      int ready = EpgdbVdrWait(link, POLLOUT, deadline);
      socklen_t len = sizeof error;
      if (ready == 0) error = ETIMEDOUT;
      else if (ready < 0) error = errno;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    }
    if (error == 0) break;
    why = strerror(error);
    close(fd);
    link->fd = -1;
  }
  freeaddrinfo(found);
  if (link->fd >= 0) return 1;
  fprintf(stderr, "epgdb: cannot connect to VDR at %s: %s\n", link->where.c_str(), why.c_str());
  return 0;
}

/* Reads one line of VDR's answer (without its line end) into "line" before
 * "deadline" (ms of the monotonic clock). "what" names the awaited answer
 * in messages, "started" says whether lines of it came already. Returns 1,
 * or 0 after the reason on stderr: VDR closed the connection, did not
 * answer in time, or sent a line longer than EPGDB_VDR_MAX_LINE. */
static int EpgdbVdrReadLine(EpgdbVdrLink *link, const std::string &what, int64_t deadline, int started,
                            std::string *line) {
  for (;;) {
    size_t end = link->input.find('\n');
    if (end != std::string::npos) {
      line->assign(link->input, 0, end);
      link->input.erase(0, end + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return 1;
    }
    if (link->input.size() > EPGDB_VDR_MAX_LINE) {
      fprintf(stderr, "epgdb: VDR at %s sent a line of more than %d bytes (waiting for %s)\n",
              link->where.c_str(), EPGDB_VDR_MAX_LINE, what.c_str());
      return 0;
    }
    int ready = EpgdbVdrWait(link, POLLIN, deadline);
    char buf[4096];
    ssize_t n = ready > 0 ? recv(link->fd, buf, sizeof buf, 0) : -1;
    if (n > 0) {
      link->input.append(buf, (size_t)n);
      continue;
    }
    if (n < 0 && ready > 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (ready == 0) {
      fprintf(stderr, "epgdb: VDR at %s did not %s within %d seconds (waiting for %s)\n",
              link->where.c_str(), started || !link->input.empty() ? "end its answer" : "answer",
              link->timeout_s, what.c_str());
    } else if (n == 0 || errno == ECONNRESET) {
      fprintf(stderr, "epgdb: VDR at %s closed the connection (waiting for %s)%s%s\n",
              link->where.c_str(), what.c_str(), link->input.empty() ? "" : ": ",
              EpgdbVdrPrintable(link->input).c_str());
    } else {
      fprintf(stderr, "epgdb: reading from VDR at %s (waiting for %s): %s\n", link->where.c_str(),
              what.c_str(), strerror(errno));
    }
    return 0;
  }
}

int EpgdbVdrAnswer(EpgdbVdrLink *link, const std::string &what, int *code,
                   std::vector<std::string> *texts) {
  texts->clear();
  std::string line;
  int64_t deadline = EpgdbVdrNowMs() + link->timeout_s * 1000LL;
  size_t bytes = 0;
  for (;;) {
    if (!EpgdbVdrReadLine(link, what, deadline, !texts->empty(), &line)) return 0;
    bytes += line.size() + 2;
    if (bytes > EPGDB_VDR_MAX_ANSWER || texts->size() >= EPGDB_VDR_MAX_ANSWER_LINES) {
      int by_lines = bytes <= EPGDB_VDR_MAX_ANSWER;
      fprintf(stderr, "epgdb: VDR at %s sent an answer of more than %d %s (waiting for %s)\n",
              link->where.c_str(), by_lines ? EPGDB_VDR_MAX_ANSWER_LINES : EPGDB_VDR_MAX_ANSWER,
              by_lines ? "lines" : "bytes", what.c_str());
      return 0;
    }
    int coded = line.size() >= 3 && line.find_first_not_of("0123456789") >= 3 &&
                (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    if (!coded) {
      *code = 0;
      texts->push_back(line);
      return 1;
    }
    *code = atoi(line.substr(0, 3).c_str());
    texts->push_back(line.size() > 4 ? line.substr(4) : "");
    if (line.size() == 3 || line[3] == ' ') return 1;
  }
}

int EpgdbVdrSend(EpgdbVdrLink *link, const std::string &bytes, const std::string &what) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(link->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      int ready = EpgdbVdrWait(link, POLLOUT, EpgdbVdrNowMs() + link->timeout_s * 1000LL);
      if (ready > 0) continue;
      if (ready == 0) {
        fprintf(stderr, "epgdb: VDR at %s took nothing for %d seconds (sending %s)\n",
                link->where.c_str(), link->timeout_s, what.c_str());
        return 0;
      }
    }
    if (errno == EPIPE || errno == ECONNRESET) {
      fprintf(stderr, "epgdb: VDR at %s closed the connection (sending %s)\n", link->where.c_str(),
              what.c_str());
    } else {
      fprintf(stderr, "epgdb: sending %s to VDR at %s: %s\n", what.c_str(), link->where.c_str(),
              strerror(errno));
    }
    return 0;
  }
  return 1;
}

int EpgdbVdrRefused(const EpgdbVdrLink *link, const std::string &what, int code,
                    const std::vector<std::string> &texts) {
  std::string answer = code ? std::to_string(code) : "";
  for (const std::string &t : texts) answer += (answer.empty() ? "" : " ") + EpgdbVdrPrintable(t);
  fprintf(stderr, "epgdb: VDR at %s refused %s: %s\n", link->where.c_str(), what.c_str(),
          answer.c_str());
  return 0;
}

int EpgdbVdrCommandAnswer(EpgdbVdrLink *link, const std::string &command, int want,
                          const std::string &what, std::vector<std::string> *texts) {
  int code = 0;
  if (!EpgdbVdrSend(link, command + "\r\n", what) || !EpgdbVdrAnswer(link, what, &code, texts))
    return 0;
  return code == want ? 1 : EpgdbVdrRefused(link, what, code, *texts);
}

int EpgdbVdrClear(EpgdbVdrLink *link, const std::string &id) {
  int code = 0;
  std::vector<std::string> texts;
  std::string what = "CLRE " + id;
  if (!EpgdbVdrSend(link, what + "\r\n", what) || !EpgdbVdrAnswer(link, what, &code, &texts)) return 0;
  return code == 250 || code == 550 ? 1 : EpgdbVdrRefused(link, what, code, texts);
}

/* True when "charset", as VDR's greeting names it, is UTF-8. */
static int EpgdbVdrIsUtf8(const std::string &charset) {
  return strcasecmp(charset.c_str(), "UTF-8") == 0 || strcasecmp(charset.c_str(), "UTF8") == 0;
}

std::string EpgdbVdrConvert(const EpgdbVdrLink *link, const std::string &text) {
  if (link->charset == (iconv_t)-1) return text;
  iconv(link->charset, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  char *in = (char *)text.data();
  size_t in_left = text.size();
  char buf[4096];
  for (int flushed = 0; !flushed;) {
    char *o = buf;
    size_t o_left = sizeof buf;
    /* At the end, a set with shift states returns to its initial one, so
     * that the bytes which follow the text read as ASCII. */
    flushed = in_left == 0;
    size_t r = flushed ? iconv(link->charset, nullptr, nullptr, &o, &o_left)
                       : iconv(link->charset, &in, &in_left, &o, &o_left);
    out.append(buf, sizeof buf - o_left);
    if (r == (size_t)-1 && errno == E2BIG) flushed = 0;
    if (r == (size_t)-1 && errno != E2BIG && in_left > 0) {
      /* A character neither the set nor its transliteration holds. */
      out += '?';
      size_t skip = 1;
      while (skip < in_left && ((unsigned char)in[skip] & 0xC0) == 0x80) skip++;
      in += skip;
      in_left -= skip;
    }
  }
  return out;
}

/* True when "cd" writes the ASCII characters of SVDRP's lines (tab, the
 * line ends and every printable one) as the same bytes, so that converted
 * lines keep their codes, tags and line ends. */
static int EpgdbVdrKeepsAscii(iconv_t cd) {
  std::string ascii = "\t\r\n";
  for (char c = ' '; c < 0x7F; c++) ascii += c;
  char out[256];
  char *in = (char *)ascii.data(), *o = out;
  size_t in_left = ascii.size(), o_left = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &in, &in_left, &o, &o_left) == (size_t)-1 ||
      iconv(cd, nullptr, nullptr, &o, &o_left) == (size_t)-1)
    return 0;
  return ascii.compare(0, std::string::npos, out, sizeof out - o_left) == 0;
}

int EpgdbVdrGreeting(EpgdbVdrLink *link) {
  int code = 0;
  std::vector<std::string> texts;
  if (!EpgdbVdrAnswer(link, "the greeting", &code, &texts)) return 0;
  if (code != 220) return EpgdbVdrRefused(link, "the connection", code, texts);
  const std::string &greeting = texts.back();
  size_t semicolon = greeting.rfind(';');
  std::string charset = semicolon == std::string::npos ? "UTF-8" : greeting.substr(semicolon + 1);
  charset.erase(0, charset.find_first_not_of(' '));
  charset.erase(charset.find_last_not_of(' ') + 1);
  if (charset.empty() || EpgdbVdrIsUtf8(charset)) return 1;
  /* Transliteration follows the character type of the locale. */
  if (!setlocale(LC_CTYPE, "C.UTF-8")) setlocale(LC_CTYPE, "");
  link->charset = iconv_open((charset + "//TRANSLIT").c_str(), "UTF-8");
  charset = EpgdbVdrPrintable(charset);
  if (link->charset == (iconv_t)-1) {
    fprintf(stderr, "epgdb: VDR at %s uses the unknown character set '%s'; texts are sent as UTF-8\n",
            link->where.c_str(), charset.c_str());
    return 1;
  }
  if (EpgdbVdrKeepsAscii(link->charset)) return 1;
  fprintf(stderr, "epgdb: VDR at %s uses the character set '%s', which does not keep ASCII as it is; nothing is sent\n",
          link->where.c_str(), charset.c_str());
  return 0;
}

EpgdbVdrLink::~EpgdbVdrLink() {
  if (fd >= 0) close(fd);
  if (charset != (iconv_t)-1) iconv_close(charset);
}
