/* Replays every kept fuzz input (seed corpus and every input that ever
 * crashed) through its entry point, in the ordinary build. */
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_helper.h"
#include "targets.h"

namespace {

std::vector<std::string> FilesIn(const std::string &dir) {
  std::vector<std::string> files;
  DIR *d = opendir(dir.c_str());
  if (!d) return files;
  while (struct dirent *e = readdir(d))
    if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
  closedir(d);
  return files;
}

}  // namespace

TEST(FuzzReplay, EveryKeptInputRunsCleanOnEveryEntryPoint) {
  /* The list the fuzz build and script use names exactly the entry points. */
  std::string listed;
  for (const FuzzTarget *t = FUZZ_TARGETS; t->name; t++) listed += std::string(t->name) + "\n";
  EXPECT_EQ(ReadFileText(std::string(MHW2_SOURCE_DIR) + "/fuzz/targets.list"), listed);
  for (const FuzzTarget *t = FUZZ_TARGETS; t->name; t++) {
    std::string base = std::string(MHW2_SOURCE_DIR) + "/fuzz/";
    std::vector<std::string> files = FilesIn(base + "corpus/" + t->name);
    EXPECT_FALSE(files.empty()) << "no seed inputs for " << t->name;
    for (const auto &f : FilesIn(base + "crashes/" + t->name)) files.push_back(f);
    for (const auto &f : files) {
      std::string bytes = ReadFileText(f);
      SCOPED_TRACE(f);
      EXPECT_EQ(t->run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()), 0);
    }
  }
}
