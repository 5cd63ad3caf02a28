/* Frontend status lines: spinner cadence and wrap, the clock's wrap. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "run/status.h"

namespace {

uint32_t FakeNow;
uint32_t FakeClock(void) { return FakeNow; }

/* Captures standard output written during its life. */
struct StdoutCapture {
  int saved;
  FILE *tmp;
  StdoutCapture() {
    fflush(stdout);
    tmp = tmpfile();
    saved = dup(1);
    dup2(fileno(tmp), 1);
  }
  std::string Take() {
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), tmp)) > 0) out.append(buf, n);
    fclose(tmp);
    return out;
  }
};

struct SpinnerClock {
  SpinnerClock() {
    StatusReset();
    StatusSetClock(FakeClock);
  }
  ~SpinnerClock() {
    StatusReset();
    StatusSetClock(nullptr);
  }
};

}  // namespace

TEST(StatusSpinner, OneLinePerSecondAndWrapsAfterBackslash) {
  SpinnerClock clock;
  StdoutCapture cap;
  FakeNow = 500;
  ShowSpinner(); /* idle: no activity text */
  StatusSetActivity("Downloading 3 days events");
  FakeNow = 1000;
  ShowSpinner(); /* 1000 ms after the start value 0: not yet */
  FakeNow = 1001;
  ShowSpinner(); /* fires: | */
  FakeNow = 2001;
  ShowSpinner(); /* exactly 1000 ms later: no */
  FakeNow = 2002;
  ShowSpinner(); /* / */
  FakeNow = 4000;
  ShowSpinner(); /* - */
  FakeNow = 6000;
  ShowSpinner(); /* \ */
  FakeNow = 8000;
  ShowSpinner(); /* | again */
  StatusSetActivity(nullptr);
  FakeNow = 20000;
  ShowSpinner();
  EXPECT_EQ(cap.Take(),
            "LOGTEXT Downloading 3 days events (|)\n"
            "LOGTEXT Downloading 3 days events (/)\n"
            "LOGTEXT Downloading 3 days events (-)\n"
            "LOGTEXT Downloading 3 days events (\\)\n"
            "LOGTEXT Downloading 3 days events (|)\n");
}

TEST(StatusSpinner, CadenceSurvivesTheClockWrap) {
  SpinnerClock clock;
  StdoutCapture cap;
  StatusSetActivity("Downloading 7 days events");
  FakeNow = 0xFFFFFF00u;
  ShowSpinner();
  FakeNow = 0xFFFFFF00u + 900u; /* wrapped past zero, 900 ms later */
  ShowSpinner();
  FakeNow = 0xFFFFFF00u + 1001u;
  ShowSpinner();
  EXPECT_EQ(cap.Take(),
            "LOGTEXT Downloading 7 days events (|)\n"
            "LOGTEXT Downloading 7 days events (/)\n");
}

TEST(StatusClock, RealClockMovesForwardInMilliseconds) {
  uint32_t a = GetTickMs();
  usleep(20000);
  uint32_t b = GetTickMs();
  EXPECT_GE((uint32_t)(b - a), 15u);
  EXPECT_LT((uint32_t)(b - a), 5000u);
}
