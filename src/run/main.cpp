/* Program entry of the guide grabber. */
#include "run/run.h"

int main(int argc, char **argv) {
  return RunMain(argc, argv);
}
