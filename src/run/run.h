/* Run driver: names the program's files after argv[0], walks the fixed
 * sequence of one run and returns its exit code. */
#ifndef MHW2_RUN_H
#define MHW2_RUN_H

#include "config/path.h"

#define RUN_VERSION "1.0"

/* The whole run; returns the exit code (0 completed, 1 did not start). */
int RunMain(int argc, char **argv);

/* Formats into a PATH_SIZE buffer. Returns 1 when the text fits, 0 when
 * it would not: the buffer is then left empty and the name is not used. */
int RunBuildPath(char *buffer, const char *format, const char *value);

#endif
