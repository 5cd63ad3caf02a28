/* Whole grabs against a guide database library that has only the ten calls
 * every receiver's library has (tests/contractlib, first on the library
 * path): the grabber loads and runs with it, leaves out of its log what such
 * a library cannot tell, and makes its calls in the library's order. */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "e2e/sim_helpers.h"
#include "support/run_helper.h"

namespace {

const char *const kTenCalls[] = {"epgdb_calculate_mjd",  "epgdb_channels_add",
                                 "epgdb_clean",          "epgdb_close",
                                 "epgdb_open",           "epgdb_save",
                                 "epgdb_title_alloc",    "epgdb_titles_add",
                                 "epgdb_titles_set_description",
                                 "epgdb_titles_set_long_description"};

/* The words of one line. */
std::vector<std::string> Words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

/* The epgdb_ names of the dynamic symbols nm lists for "file" with "kind"
 * (--defined-only, --undefined-only), each as "<type> <name>". */
std::vector<std::string> DynamicEpgdbSymbols(const std::string &file, const std::string &kind) {
  std::vector<std::string> out;
  for (const auto &line : SplitLines(ShellOutput("nm -D " + kind + " '" + file + "'"))) {
    std::vector<std::string> w = Words(line);
    if (w.size() >= 2 && w.back().compare(0, 6, "epgdb_") == 0) out.push_back(w[w.size() - 2] + " " + w.back());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class ContractGrab : public ::testing::Test {
 protected:
  GrabDir g_{"contract"};
  std::string calls_path_ = g_.dir + "/calls";

  GrabResult Run(const std::string &root) const {
    return g_.Run({root}, {SIM_TZ, "LD_LIBRARY_PATH=" MHW2_BUILD_DIR "/contractlib",
                           "CONTRACTLIB_CALLS=" + calls_path_});
  }
  /* The recorded calls, one line each, split into words. */
  std::vector<std::vector<std::string>> Calls() const {
    std::vector<std::vector<std::string>> calls;
    for (const auto &line : SplitLines(ReadFileText(calls_path_))) calls.push_back(Words(line));
    return calls;
  }
  /* The names of the recorded calls. */
  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const auto &c : Calls()) names.push_back(c.empty() ? "" : c[0]);
    return names;
  }
};

/* No line of the main log gives a library's reason or counts a save. */
void ExpectNoLibraryOnlyLines(const std::string &log) {
  for (const auto &m : LogMessages(log)) {
    EXPECT_NE(m.compare(0, 6, "EPGDB:"), 0) << m;
    EXPECT_EQ(m.find("titles saved"), std::string::npos) << m;
  }
}

TEST(ContractLibrary, HasTheTenCallsAndTheGrabberAsksForNoMore) {
  std::vector<std::string> ten;
  for (const char *name : kTenCalls) ten.push_back(std::string("T ") + name);
  EXPECT_EQ(DynamicEpgdbSymbols(MHW2_BUILD_DIR "/contractlib/libtarnwell.so", "--defined-only"), ten);
  /* The grabber needs the ten; any other epgdb_ name it might reference
   * would have to be weak for the loader to pass it. */
  std::vector<std::string> needed;
  for (const auto &s : DynamicEpgdbSymbols(MHW2_BUILD_DIR "/mhw2grab", "--undefined-only"))
    if (s[0] == 'U') needed.push_back("T " + s.substr(2));
  EXPECT_EQ(needed, ten);
}

TEST_F(ContractGrab, WeekWithSummariesAliasesAndUtf8GoesThroughTheTenCallsInOrder) {
  const std::string alias1 = "1F41:400:1,2000:401:1", alias2 = "1F44:400:1,1F44:400:1";
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g_.dir,
                          "--random --seed 41 --start " + SimToday() +
                              " --channels 4 --days 4 --events-per-day 6 --continuations --duplicates 0.1",
                          "--utf8 --alias " + alias1 + " --alias " + alias2, &e));
  g_.WriteConfig("debug=1\ndemux=" + e.stream + "\nConvertToUTF8=1\nalias=" + alias1 + "\nalias=" + alias2 + "\n");
  GrabResult r = Run(g_.root);
  EXPECT_EQ(r.exit_code, 0);
  SimCheckStatusLines(r.out, g_.name, e);
  SimCheckMainLog(r.log, g_.name, g_.exe, g_.root, e.stream, e,
                  {"Enabling FULL debug log", "Changing demux to: " + e.stream, "Text will be converted to UTF-8",
                   "2 alias readed from config file"},
                  "DemuxGetAllSections() - Error reading data from sat", false);
  ExpectNoLibraryOnlyLines(r.log);
  SimCheckDebugLog(r, e);
  /* The run's own library never came into play: it would have made guide.db. */
  struct stat st;
  EXPECT_NE(stat((g_.root + "/guide.db").c_str(), &st), 0);

  /* epgdb_open first; one group of six calls per stored title; save (with
   * the null progress), close, clean. */
  std::vector<std::vector<std::string>> calls = Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0], std::vector<std::string>({"epgdb_open", g_.root, "1"}));
  static const char *const group[6] = {"epgdb_channels_add", "epgdb_title_alloc", "epgdb_calculate_mjd",
                                       "epgdb_titles_add", "epgdb_titles_set_description",
                                       "epgdb_titles_set_long_description"};
  std::map<std::string, std::string> last_store; /* "triple\tstart" -> the record's fields */
  size_t i = 1;
  int groups = 0;
  while (i < calls.size() && calls[i][0] == group[0]) {
    ASSERT_LE(i + 6, calls.size()) << "call " << i + 1 << ": a title's calls cut short";
    for (int k = 0; k < 6; k++) ASSERT_EQ(calls[i + k][0], group[k]) << "call " << i + k + 1;
    const std::vector<std::string> &added = calls[i + 3];
    ASSERT_EQ(added.size(), 8u);
    EXPECT_EQ(added[1], calls[i][1]) << "the title went to another channel than epgdb_channels_add gave";
    EXPECT_EQ(added[2], calls[i + 2][1]) << "the day number is not that of the title's start";
    last_store[added[1] + "\t" + added[2]] =
        added[1] + "\t" + added[2] + "\t" + added[3] + "\t" + added[4] + "\t" + added[5] + "\t" + added[6] + "\t" + added[7];
    i += 6;
    groups++;
  }
  EXPECT_EQ(groups, e.Stat("stores"));
  std::vector<std::vector<std::string>> tail(calls.begin() + (long)i, calls.end());
  EXPECT_EQ(tail, std::vector<std::vector<std::string>>(
                      {{"epgdb_save", "0", std::to_string(groups)}, {"epgdb_close"}, {"epgdb_clean"}}));

  /* The last store of each channel and start is the row a saving library
   * keeps: its record fields are those of the expected row. */
  std::vector<std::string> want, got;
  for (const auto &row : SplitLines(e.rows)) {
    size_t cut = 0;
    for (int f = 0; f < 7 && cut != std::string::npos; f++) cut = row.find('\t', cut + (f ? 1 : 0));
    want.push_back(row.substr(0, cut));
  }
  for (const auto &kv : last_store) got.push_back(kv.second);
  EXPECT_EQ(got, want);
  EXPECT_GT(e.Stat("stores"), (int)want.size()) << "no title stored twice under one channel and start";
}

TEST_F(ContractGrab, NothingReceivedMeansNoSave) {
  SimExpectation e;
  ASSERT_TRUE(SimGenerate(g_.dir, "--random --seed 42 --start " + SimToday() + " --channels 3 --days 2",
                          "--no-3-days --no-7-days", &e));
  g_.WriteConfig("demux=" + e.stream + "\nDownload_3_Days=0\nDownload_7_Days=0\n");
  GrabResult r = Run(g_.root);
  EXPECT_EQ(r.exit_code, 0);
  SimCheckStatusLines(r.out, g_.name, e);
  std::vector<std::string> log = LogMessages(r.log);
  EXPECT_TRUE(HasLine(log, "Nothing added to database"));
  EXPECT_TRUE(HasLine(log, "EPGDB closed and memory cleaned"));
  ExpectNoLibraryOnlyLines(r.log);
  EXPECT_EQ(CallNames(), std::vector<std::string>({"epgdb_open", "epgdb_close", "epgdb_clean"}));
}

TEST_F(ContractGrab, FailedOpenEndsTheRunWithoutAReason) {
  const std::string root = g_.dir + "/missing/db";
  GrabResult r = Run(root);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "TYPE RUNNING CSCRIPT " + g_.name + " v1.0\n");
  std::vector<std::string> log = LogMessages(r.log);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Error opening EPGDB");
  EXPECT_TRUE(HasLine(log, "db_root = " + root));
  ExpectNoLibraryOnlyLines(r.log);
  std::vector<std::vector<std::string>> calls = Calls();
  EXPECT_EQ(calls, std::vector<std::vector<std::string>>({{"epgdb_open", root, "0"}, {"epgdb_close"}}));
}

}  // namespace
