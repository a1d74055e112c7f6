#include <vqstomp/VQJMSInterfaces.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace vq;

namespace {

// Each text, stored as a string, reads back through Getter as its expected value; an
// absent name reads as the type's zero.
template <typename TValue, size_t N, typename TGetter>
void ExpectReadsAs(const std::pair<const char*, TValue> (&Cases)[N], TGetter Getter) {
  TPrimitiveMap Map;
  for (const auto& [Text, Expected] : Cases) {
    Map.SetString("t", Text);
    EXPECT_EQ((Map.*Getter)("t"), Expected) << Text;
  }
  EXPECT_EQ((Map.*Getter)("absent"), TValue{});
}

}  // namespace

TEST(VQPrimitiveMap, StoreReplaceAndRemove) {
  TPrimitiveMap Map;
  Map.SetString("Key", "a");
  Map.SetString("other", "o");
  Map.SetString("key", "b");
  EXPECT_EQ(Map.Count(), 2);
  EXPECT_EQ(Map.GetString("KEY"), "b");
  EXPECT_TRUE(Map.ItemExists("kEy"));

  // An empty value removes; storing again puts the name last.
  Map.SetString("KEY", "");
  EXPECT_EQ(Map.Count(), 1);
  EXPECT_FALSE(Map.ItemExists("key"));
  EXPECT_EQ(Map.GetString("key"), "");
  Map.SetValue("absent", "");
  EXPECT_EQ(Map.Count(), 1);

  Map.SetInt("n", 1);
  EXPECT_TRUE(Map.ItemExists("n"));
  Map.Remove("N");
  Map.Remove("absent");
  EXPECT_FALSE(Map.ItemExists("n"));
  EXPECT_EQ(Map.Count(), 1);
  EXPECT_EQ(Map.GetValue("other"), "o");
}

TEST(VQPrimitiveMap, NamesAndValuesMayHoldEqualsSign) {
  TPrimitiveMap Map;
  Map.SetString("a=b", "c");
  Map.SetString("v", "x=y");
  EXPECT_EQ(Map.GetString("A=B"), "c");
  EXPECT_EQ(Map.GetString("a"), "");
  EXPECT_EQ(Map.GetString("v"), "x=y");
}

TEST(VQPrimitiveMap, Integers) {
  TPrimitiveMap Map;
  Map.SetInt("n", -12);
  EXPECT_EQ(Map.GetString("n"), "-12");
  EXPECT_EQ(Map.GetInt("n"), -12);
  Map.SetInt("min", INT32_MIN);
  EXPECT_EQ(Map.GetInt("min"), INT32_MIN);

  const std::pair<const char*, int32_t> Cases[] = {
      {"12abc", 0}, {"2147483648", 0}, {"-2147483649", 0}, {"2147483647", INT32_MAX},
      {" +7", 7},   {"$1F", 31},       {"0x10", 16},       {"X10", 16}, {"-0x10", -16}, {"1 ", 0}};
  ExpectReadsAs(Cases, &TPrimitiveMap::GetInt);
}

TEST(VQPrimitiveMap, BytesAreLowEightBitsOfInt) {
  TPrimitiveMap Map;
  Map.SetByte("b", 255);
  EXPECT_EQ(Map.GetString("b"), "255");
  EXPECT_EQ(Map.GetByte("b"), 255);
  Map.SetString("b", "300");
  EXPECT_EQ(Map.GetByte("b"), 44);
  Map.SetString("b", "-1");
  EXPECT_EQ(Map.GetByte("b"), 255);
  Map.SetString("b", "4294967296");
  EXPECT_EQ(Map.GetByte("b"), 0);
}

TEST(VQPrimitiveMap, BooleansAreExactlyTrue) {
  TPrimitiveMap Map;
  Map.SetBoolean("t", true);
  Map.SetBoolean("f", false);
  EXPECT_EQ(Map.GetString("t"), "true");
  EXPECT_EQ(Map.GetString("f"), "false");
  EXPECT_TRUE(Map.GetBoolean("T"));
  EXPECT_FALSE(Map.GetBoolean("f"));
  for (const char* Text : {"True", "TRUE", "1", " true", "true "}) {
    Map.SetString("x", Text);
    EXPECT_FALSE(Map.GetBoolean("x")) << Text;
  }
}

TEST(VQPrimitiveMap, Chars) {
  TPrimitiveMap Map;
  Map.SetChar("c", 'Z');
  EXPECT_EQ(Map.GetString("c"), "Z");
  Map.SetString("s", "xyz");
  EXPECT_EQ(Map.GetChar("s"), 'x');
  EXPECT_EQ(Map.GetChar("absent"), '\0');
  // NUL is a value of its own, not an empty one.
  Map.SetChar("nul", '\0');
  EXPECT_TRUE(Map.ItemExists("nul"));
  EXPECT_EQ(Map.GetString("nul"), std::string(1, '\0'));
}

TEST(VQPrimitiveMap, ClearResetsEveryGetter) {
  TPrimitiveMap Map;
  Map.SetInt("i", 5);
  Map.SetBoolean("b", true);
  Map.SetChar("c", 'c');
  Map.Clear();
  EXPECT_EQ(Map.Count(), 0);
  EXPECT_EQ(Map.GetInt("i"), 0);
  EXPECT_EQ(Map.GetByte("i"), 0);
  EXPECT_FALSE(Map.GetBoolean("b"));
  EXPECT_EQ(Map.GetChar("c"), '\0');
  EXPECT_EQ(Map.GetString("c"), "");
}

TEST(VQPrimitiveMap, LongsUseTheSharedIntegerRule) {
  TPrimitiveMap Map;
  Map.SetLong("max", INT64_MAX);
  Map.SetLong("min", INT64_MIN);
  EXPECT_EQ(Map.GetString("max"), "9223372036854775807");
  EXPECT_EQ(Map.GetLong("MAX"), INT64_MAX);
  EXPECT_EQ(Map.GetLong("min"), INT64_MIN);
  // Beyond the exact integers of a double, and beyond 32 bits for GetInt.
  Map.SetLong("big", 9007199254740993);
  EXPECT_EQ(Map.GetLong("big"), 9007199254740993);
  EXPECT_EQ(Map.GetInt("big"), 0);

  const std::pair<const char*, int64_t> Cases[] = {
      {"9223372036854775808", 0}, {"-9223372036854775809", 0}, {"12abc", 0}, {"0x10", 16}, {" -7", -7}, {"1.0", 0}};
  ExpectReadsAs(Cases, &TPrimitiveMap::GetLong);
}

TEST(VQPrimitiveMap, DoublesRoundTripInTheirShortestText) {
  TPrimitiveMap Map;
  Map.SetDouble("d", 0.1);
  EXPECT_EQ(Map.GetString("d"), "0.1");
  Map.SetDouble("d", 1e21);
  EXPECT_EQ(Map.GetString("d"), "1e+21");

  const double LargestSubnormal = std::nextafter(std::numeric_limits<double>::min(), 0.0);
  for (const double Value : {1.0 / 3.0, -0.0, std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::denorm_min(), LargestSubnormal, -LargestSubnormal}) {
    Map.SetDouble("d", Value);
    const double Read = Map.GetDouble("d");
    EXPECT_EQ(Read, Value) << Map.GetString("d");
    EXPECT_EQ(std::signbit(Read), std::signbit(Value)) << Map.GetString("d");
  }
  Map.SetDouble("d", std::numeric_limits<double>::quiet_NaN());
  EXPECT_TRUE(std::isnan(Map.GetDouble("d")));

  // Text from another program: anything but a number over the whole text reads as 0.
  const std::pair<const char*, double> Cases[] = {{"2.5E3", 2500.0}, {"42", 42.0}, {"-1e-2", -0.01},
                                                  {"1.5x", 0.0},     {" 1.5", 0.0}, {"1.5 ", 0.0},
                                                  {"abc", 0.0},      {"1e400", 0.0}};
  ExpectReadsAs(Cases, &TPrimitiveMap::GetDouble);
}

TEST(VQPrimitiveMap, NamesInStoreOrder) {
  TPrimitiveMap Map;
  EXPECT_TRUE(Map.GetNames().empty());
  Map.SetString("b", "1");
  Map.SetString("a", "2");
  Map.SetString("c", "3");
  // Replacing keeps the place and takes the new spelling; removing and storing again moves last.
  Map.SetString("B", "4");
  Map.Remove("a");
  Map.SetString("A", "5");
  EXPECT_EQ(Map.GetNames(), (std::vector<std::string>{"B", "c", "A"}));
}
