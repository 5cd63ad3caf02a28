/* The grab an XMLTV export may start with: mhw2grab run on a configured
 * source (a demux, recording or FIFO, or a shell command whose standard
 * output carries the transport stream) into the guide database root. */
#ifndef XMLTV_GRAB_H
#define XMLTV_GRAB_H

#include <string>

/* The start of the name mhw2grab runs under for these grabs: each grab
 * gives it a name of its own, "XMLTV_GRAB_NAME-XXXXXX", so that its
 * configuration is "<private folder>/<name>.conf" and its log
 * "/tmp/<name>.log", a file made for that grab alone. */
#define XMLTV_GRAB_NAME "tv_grab_zz_mhw2"

/* Where a grab reads the guide from and where it stores it. */
struct XmltvSource {
  std::string root;    /* guide database root, mhw2grab's argument */
  std::string demux;   /* device, recording, FIFO or "auto"; "" when "command" is set */
  std::string command; /* shell command writing the transport stream to its stdout, or "" */
  std::string grabber; /* path of the mhw2grab executable */
};

/* The path of mhw2grab beside the running executable ("" when the running
 * executable cannot be found). */
std::string XmltvGrabBesideSelf(void);

/* Grabs "source" into its root with mhw2grab, under a configuration written
 * to a private folder (in TMPDIR, or /tmp when TMPDIR is too long for
 * mhw2grab's paths) that holds "demux=" and nothing else. With a command,
 * the command writes into a FIFO there that mhw2grab reads, and it is ended
 * (with its whole process group) when mhw2grab is done, whether or not
 * mhw2grab ever opened the FIFO. Unless "quiet", the grab's status lines go
 * to standard error as progress, and what mhw2grab and the command wrote to
 * standard error follows them; "debug" shows the commands run. The outcome
 * comes from mhw2grab's exit status, status lines and log of this grab.
 * Returns 1 when the grab stored a guide; 0 after a message on standard
 * error (naming the grab's log, which then stays) when mhw2grab could not
 * run or did not start, ended without a channel table or without events,
 * could not save, or when the source command failed before every table had
 * come round whole. A source command that failed after that is reported
 * unless "quiet". */
int XmltvGrab(const XmltvSource *source, int quiet, int debug);

#endif
