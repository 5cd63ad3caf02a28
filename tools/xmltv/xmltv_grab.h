/* The grab an XMLTV export may start with: mhw2grab run on a configured
 * source (a demux, recording or FIFO, or a shell command whose standard
 * output carries the transport stream) into the guide database root. */
#ifndef XMLTV_GRAB_H
#define XMLTV_GRAB_H

#include <string>

/* The name mhw2grab runs under for these grabs: its configuration is
 * "<private folder>/XMLTV_GRAB_NAME.conf", its log "/tmp/XMLTV_GRAB_NAME.log". */
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
 * to a private folder that holds "demux=" and nothing else. With a command,
 * the command writes into a FIFO there that mhw2grab reads, and it is ended
 * (with its whole process group) when mhw2grab is done. Unless "quiet", the
 * grab's status lines go to standard error as progress, and what mhw2grab
 * and the command wrote to standard error follows them; "debug" shows the
 * commands run. Returns 1 when the grab stored a guide; 0 after a message on
 * standard error when mhw2grab could not run or did not start, ended
 * without a channel table or without events, or could not save. */
int XmltvGrab(const XmltvSource *source, int quiet, int debug);

#endif
