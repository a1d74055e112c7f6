#include <vqstomp/VQStompConnection.h>

#include <gtest/gtest.h>

#include <vqstomp/VQStompCustomClient.h>

#include "transport/VQAdapterRegistry.h"
#include "transport/VQCommAdapter.h"

using namespace vq;

TEST(VQStompConnection, InstallingAnAdapterResetsHostAndPortOnly) {
  TVQStompCustomClient Client;
  auto First = CreateDefaultAdapter();
  auto Second = CreateDefaultAdapter();
  Client.SetUsername("user");
  Client.SetPassword("secret");
  Client.SetCommAdapter(First.get());
  EXPECT_EQ(Client.GetHost(), "localhost");
  EXPECT_EQ(Client.GetPort(), 61613);
  EXPECT_EQ(First->GetLogger(), Client.GetLogger()) << "adapter and client log to the same logger";

  Client.SetHost("broker.example");
  Client.SetPort(1234);
  EXPECT_EQ(First->GetHost(), "broker.example");
  EXPECT_EQ(First->GetPort(), 1234);

  Client.SetCommAdapter(Second.get());
  EXPECT_EQ(Client.GetCommAdapter(), Second.get());
  EXPECT_EQ(Client.GetHost(), "localhost");
  EXPECT_EQ(Client.GetPort(), 61613);
  EXPECT_EQ(Client.GetUsername(), "user");
  EXPECT_EQ(Client.GetPassword(), "secret");
}
