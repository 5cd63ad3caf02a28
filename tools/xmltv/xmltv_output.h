/* Where an XMLTV document goes: standard output, a file that is replaced
 * only by a whole document, or a UNIX socket whose delivery is bounded. */
#ifndef XMLTV_OUTPUT_H
#define XMLTV_OUTPUT_H

#include <stdio.h>

#include <string>

/* One document on its way. Zero-filled until XmltvOutputOpen. */
struct XmltvOutput {
  FILE *stream;          /* what the document is written to */
  std::string target;    /* the file or socket named, "" for standard output */
  std::string replaced;  /* the file "temp" replaces ("target", its links followed) */
  std::string temp;      /* the file the document is written to first, or "" */
  int socket_fd;         /* the connected socket, -1 for a file */
  int timeout_s;         /* the delivery to a socket ends after this many seconds */
  long long deadline_ms; /* ... at this reading of the monotonic clock */
  long long sent;        /* bytes the socket took */
  int timed_out;         /* the socket's reader did not take the document in time */
};

/* Opens the way to "file" (when not "") or the UNIX socket "socket" (when
 * not ""), or standard output, into "out". A regular file (or a new one) is
 * written to a temporary file in its folder first; a socket gets the whole
 * document within "timeout_s" seconds from the connect on. Returns 1, or 0
 * with the reason in "why". */
int XmltvOutputOpen(XmltvOutput *out, const std::string &file, const std::string &socket, int timeout_s,
                    std::string *why);

/* Ends the document: with "ok" (written whole) the temporary file replaces
 * the target; otherwise, or when that fails, the target stays as it was and
 * the temporary file goes. Returns 1, or 0 with the reason in "why" (which
 * keeps the caller's reason for a document that was not "ok" unless the
 * output knows better). */
int XmltvOutputClose(XmltvOutput *out, int ok, std::string *why);

#endif
