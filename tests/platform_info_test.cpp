// The local machine's identity as TZPlatformInfo reports it.

#include <gtest/gtest.h>

#include "tzplatform/TZPlatformInfo.h"
#include "tzplatform/settings.h"

namespace {

TEST(PlatformInfo, CorehostNameIsCutToTheBufferAndAlwaysTerminated) {
  tzplatform::SetPlatformIdentity({1, "corehost01", "linux-node"});

  TZPlatformInfo info;
  EXPECT_EQ(info.getTZPlatformType(), 1u);
  EXPECT_EQ(info.getPhysicalMachine(), "linux-node");
  // What is written, and '#' for each byte past the given size left alone.
  for (const auto& [size, expected] : std::vector<std::pair<size_t, std::string>>{
           {256, "corehost01"}, {11, "corehost01"}, {10, "corehost0"}, {2, "c"}, {1, ""}}) {
    std::string buffer(300, '#');
    ASSERT_EQ(info.getCorehostClientName(&buffer[0], size), 0);
    EXPECT_STREQ(buffer.c_str(), expected.c_str());
    EXPECT_EQ(buffer.substr(size), std::string(300 - size, '#')) << size;
  }
  char untouched[4] = {'#', '#', '#', '#'};
  EXPECT_NE(info.getCorehostClientName(untouched, 0), 0);
  EXPECT_EQ(untouched[0], '#');
  EXPECT_NE(info.getCorehostClientName(nullptr, 10), 0);
  tzplatform::ResetSettings();
}

}  // namespace
