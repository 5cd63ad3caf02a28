/* The size of every run-wide path buffer: 255 characters and a NUL. A name
 * that does not fit is refused, never cut. */
#ifndef MHW2_CONFIG_PATH_H
#define MHW2_CONFIG_PATH_H

constexpr int PATH_SIZE = 256;

#endif
