// The local machine's identity as TZPlatformInfo reports it.
#include <algorithm>
#include <iterator>

#include <gtest/gtest.h>

#include "tzplatform/TZPlatformInfo.h"
#include "tzplatform/settings.h"

namespace {

TEST(PlatformInfo, CorehostNameIsCutToTheBufferAndAlwaysTerminated) {
  tzplatform::PlatformIdentity identity;
  identity.platformType = 1;
  identity.corehostClientName = "corehost01";
  identity.physicalMachine = "linux-node";
  tzplatform::SetPlatformIdentity(identity);

  TZPlatformInfo info;
  EXPECT_EQ(info.getTZPlatformType(), 1u);
  EXPECT_EQ(info.getPhysicalMachine(), "linux-node");
  struct Case {
    size_t size;
    const char* expected;
  };
  for (const Case& c : {Case{256, "corehost01"}, Case{11, "corehost01"}, Case{10, "corehost0"},
                        Case{2, "c"}, Case{1, ""}}) {
    SCOPED_TRACE(c.size);
    char buffer[300];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    ASSERT_EQ(info.getCorehostClientName(buffer, c.size), 0);
    EXPECT_STREQ(buffer, c.expected);
    for (size_t i = c.size; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], '#') << i;
  }
  char untouched[4] = {'#', '#', '#', '#'};
  EXPECT_NE(info.getCorehostClientName(untouched, 0), 0);
  EXPECT_EQ(untouched[0], '#');
  EXPECT_NE(info.getCorehostClientName(nullptr, 10), 0);
  tzplatform::ResetSettings();
}

}  // namespace
