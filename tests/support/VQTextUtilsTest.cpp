#include "support/VQTextUtils.h"

#include <gtest/gtest.h>

#include <vqstomp/VQExceptions.h>

using namespace vq;

TEST(VQTextUtils, IntegerRule) {
  int32_t Value = 0;
  EXPECT_TRUE(TryStrToInt("  -12", Value));
  EXPECT_EQ(Value, -12);
  EXPECT_TRUE(TryStrToInt("+7", Value));
  EXPECT_EQ(Value, 7);
  for (const char* Hex : {"$1F", "x1f", "X1F", "0x1f", "0X1F"}) {
    EXPECT_TRUE(TryStrToInt(Hex, Value)) << Hex;
    EXPECT_EQ(Value, 31) << Hex;
  }
  EXPECT_TRUE(TryStrToInt("-$10", Value));
  EXPECT_EQ(Value, -16);
  EXPECT_TRUE(TryStrToInt("2147483647", Value));
  EXPECT_TRUE(TryStrToInt("-2147483648", Value));
  EXPECT_EQ(Value, INT32_MIN);
  for (const char* Bad : {"", " ", "-", "12abc", "12 ", "1.5", "2147483648", "-2147483649", "$", "0x",
                          "$FFFFFFFF", "\t1", "1e3"})
    EXPECT_FALSE(TryStrToInt(Bad, Value)) << Bad;
  EXPECT_EQ(StrToIntDef("junk", 4), 4);

  int64_t Wide = 0;
  EXPECT_TRUE(TryStrToInt64("-9223372036854775808", Wide));
  EXPECT_EQ(Wide, INT64_MIN);
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", Wide));
  EXPECT_TRUE(TryStrToInt64("-$8000000000000000", Wide));
  EXPECT_EQ(Wide, INT64_MIN);
  EXPECT_FALSE(TryStrToInt64("$8000000000000000", Wide));
  EXPECT_FALSE(TryStrToInt64("-$8000000000000001", Wide));
  // Either side of the longest decimal that cannot overflow.
  EXPECT_TRUE(TryStrToInt64("-999999999999999999", Wide));
  EXPECT_EQ(Wide, -999999999999999999);
  EXPECT_TRUE(TryStrToInt64("1796957829507", Wide));
  EXPECT_EQ(Wide, 1796957829507);
  EXPECT_TRUE(TryStrToInt64("9223372036854775807", Wide));
  EXPECT_EQ(Wide, INT64_MAX);
  EXPECT_FALSE(TryStrToInt64("99999999999999999:", Wide));
  EXPECT_FALSE(TryStrToInt64("17969578/9507", Wide));
  EXPECT_THROW(StrToInt64("nope"), EConvertError);
}

TEST(VQTextUtils, CaseFoldingAndTrimming) {
  EXPECT_TRUE(SameText("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_FALSE(SameText("[", "{"));  // only letters fold
  EXPECT_EQ(TrimControl(std::string_view("\0\n tx1 \r\n", 9)), "tx1");
  EXPECT_EQ(TrimControl("  "), "");
}
