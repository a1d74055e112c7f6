#include <vqstomp/VQExceptions.h>

#include <gtest/gtest.h>

using namespace vq;

TEST(VQExceptions, AssertionNamesTheCallersFileAndLine) {
  const unsigned Line = __LINE__ + 2;
  try {
    Assert(false, "Found nothing");
    FAIL();
  } catch (const Exception& Error) {
    const auto& Failure = dynamic_cast<const EAssertionFailed&>(Error);
    EXPECT_EQ(Failure.GetMessage(), "Found nothing");
    EXPECT_EQ(Failure.GetLine(), Line);
    EXPECT_EQ(std::string(Error.what()),
              "Found nothing (" + std::string(__FILE__) + ", line " + std::to_string(Line) + ")");
  }
  EXPECT_NO_THROW(Assert(true, "never"));
}
