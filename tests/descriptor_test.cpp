// What the module tells a host about itself.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "plugin/plugin_api.h"

namespace {

const char kLabels[] = "Update Interval (Seconds)|Thread Priority (0 - 30)|Priority Class (1 - 5)|";

TEST(Descriptor, OffersOneMeterOfTypeOne) {
  EXPECT_STREQ(init(), "GetCPUSpeed");
  EXPECT_EQ(init(), init());
  EXPECT_EQ(dlltype(), 1);
}

TEST(Descriptor, ParameterLabelsForTheMeterNameInAnyAsciiCase) {
  EXPECT_STREQ(getparam("GetCPUSpeed"), kLabels);
  EXPECT_STREQ(getparam("getcpuspeed"), kLabels);
  EXPECT_STREQ(getparam("GETCPUSPEED"), kLabels);
  EXPECT_EQ(getparam("getCpuSpeed"), getparam("GetCPUSpeed"));
}

TEST(Descriptor, AnyOtherNameGetsTheEmptyLabelList) {
  for (const char* name :
       {"", "GetCPUSpeedX", "GetCPUSpee", "Get CPU Speed", " GetCPUSpeed", "GetCPUSpeed ",
        "\307etCPUSpeed",  // a Latin-1 capital C with cedilla first
        "GetCPU"}) {
    EXPECT_STREQ(getparam(name), "|") << name;
  }
  EXPECT_STREQ(getparam(nullptr), "|");
  EXPECT_EQ(getparam("x"), getparam(""));
}

TEST(Descriptor, InfoTextsByIndex) {
  EXPECT_STREQ(getinfo(0), "CPU Speed Orbitane Plugin");
  EXPECT_STREQ(getinfo(1), "Kestrane, CPU Speed Calculation - Vollmark");
  EXPECT_STREQ(getinfo(2), "1.1");
  EXPECT_STREQ(getinfo(3), "10.03.2005");
  EXPECT_EQ(getinfo(3), getinfo(4));
  EXPECT_NE(std::string(getinfo(6)).find('@'), std::string::npos);
}

TEST(Descriptor, UnknownIndicesShareOneEmptyTextNeverNull) {
  const char* empty = getinfo(5);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  for (std::uint32_t index : {7U, 8U, 1000U, 0x7FFFFFFFU, 0x80000000U, 0xFFFFFFFFU}) {
    EXPECT_EQ(getinfo(index), empty) << index;
  }
  for (std::uint32_t index = 0; index < 8; ++index) {
    EXPECT_EQ(getinfo(index), getinfo(index));
  }
}

}  // namespace
