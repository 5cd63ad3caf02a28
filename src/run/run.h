/* Run driver: names the program's files after argv[0], walks the fixed
 * sequence of one run and returns its exit code. */
#ifndef MHW2_RUN_H
#define MHW2_RUN_H

constexpr int RUN_PATH_SIZE = 256;
#define RUN_VERSION "1.0"

/* The whole run; returns the exit code (0 completed, 1 did not start). */
int RunMain(int argc, char **argv);

/* Formats into a RUN_PATH_SIZE buffer. Returns 1 when the text fits, 0 when
 * it would not: the buffer is then left empty and the name is not used. */
int RunBuildPath(char *buffer, const char *format, const char *value);

#endif
