/* The vdr command of epgdb: the guide in VDR's EPG data format, printed for
 * epg.data or pushed into a running VDR over SVDRP. */
#ifndef EPGDB_VDR_H
#define EPGDB_VDR_H

/* Usage lines of the vdr command, part of epgdb's help text. */
extern const char EPGDB_VDR_USAGE[];

/* Runs "epgdb vdr ROOT [OPTIONS]" with argv[2] the database root and the
 * options from argv[3]. Returns the exit code: 0 done; 1 the guide could not
 * be read, the output not written, or VDR refused a command, closed the
 * connection or did not answer in time; 2 bad arguments or no guide at ROOT.
 * Every failure is reported on standard error. */
int EpgdbVdrCommand(int argc, char **argv);

#endif
