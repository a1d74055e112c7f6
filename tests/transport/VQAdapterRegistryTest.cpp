#include "transport/VQAdapterRegistry.h"

#include <gtest/gtest.h>

#include "transport/VQCommAdapterIndy.h"

using namespace vq;

namespace {

int Made = 0;

std::unique_ptr<TVQCommAdapter> CountingClass() {
  ++Made;
  return AdapterClass<TVQCommAdapterIndy>();
}

}  // namespace

TEST(VQAdapterRegistry, TheDefaultIsAFreshTcpAdapter) {
  ASSERT_GE(AdapterCount(), 1);
  const auto Adapter = CreateDefaultAdapter();
  ASSERT_NE(dynamic_cast<TVQCommAdapterIndy*>(Adapter.get()), nullptr);
  EXPECT_EQ(Adapter->GetName(), "TVQCommAdapterIndy");
  EXPECT_TRUE(Adapter->GetConsoleMode()) << "deliveries run on the read thread unless asked otherwise";
  EXPECT_FALSE(Adapter->GetOnConnected());
  EXPECT_FALSE(Adapter->GetOnDataAvailable());
  EXPECT_FALSE(Adapter->GetOnConnectionLost());
  EXPECT_EQ(Adapter->GetLogger(), nullptr);
  EXPECT_FALSE(Adapter->IsReceiving());
}

TEST(VQAdapterRegistry, KeepsDuplicatesAndRefusesIndexesOutsideTheList) {
  const int32_t Before = AdapterCount();
  const int MadeBefore = Made;
  RegisterAdapter(&CountingClass);
  RegisterAdapter(&CountingClass);
  ASSERT_EQ(AdapterCount(), Before + 2);
  EXPECT_NE(dynamic_cast<TVQCommAdapterIndy*>(CreateAdapter(Before).get()), nullptr);
  EXPECT_NE(dynamic_cast<TVQCommAdapterIndy*>(CreateAdapter(Before + 1).get()), nullptr);
  EXPECT_EQ(Made, MadeBefore + 2);

  EXPECT_THROW(CreateAdapter(Before + 2), EListError);
  EXPECT_THROW(CreateAdapter(-1), Exception);
  EXPECT_EQ(Made, MadeBefore + 2);
  EXPECT_NE(dynamic_cast<TVQCommAdapterIndy*>(CreateDefaultAdapter().get()), nullptr);
}
