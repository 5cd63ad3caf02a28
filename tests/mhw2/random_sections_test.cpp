/* Every decoder on random bytes: it never writes outside the section it is
 * given (guard bytes behind it stay), and never fails the pass. */
#include "mhw2/mhw2_fixture.h"

namespace {

class RandomSectionsTest : public GuideTest {};

TEST_F(RandomSectionsTest, DecodersStayInsideTheSection) {
  LogSetDebug(0); /* thousands of hex dumps would only slow the test */
  int32_t (*const decoders[])(uint8_t *, int32_t) = {
      ProcessMHW2Channels, ProcessMHW2Events3days, ProcessMHW2Events,
      ProcessMHW2Summaries3days, ProcessMHW2Summaries7days};
  uint32_t seed = 0x2545F491u;
  auto next = [&seed]() {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return seed;
  };
  for (int round = 0; round < 4000; round++) {
    int32_t length = (int32_t)(next() % 320);
    Bytes section((size_t)length + 16, 0x5A);
    /* Small values make lengths and counts that nearly fit. */
    for (int32_t i = 0; i < length; i++)
      section[(size_t)i] = (uint8_t)(next() % 4 == 0 ? next() : next() % 24);
    size_t which = round % 5;
    MakeChannels(8); /* the channel decoder drops the table of the round before */
    EXPECT_EQ(decoders[which](section.data(), length) < 0, false) << round;
    for (size_t i = (size_t)length; i < section.size(); i++)
      ASSERT_EQ(section[i], 0x5A) << "decoder " << which << " round " << round;
  }
}

}  // namespace
