#include <vqstomp/VQDestination.h>

#include <gtest/gtest.h>

#include <vqstomp/VQQueue.h>
#include <vqstomp/VQTopic.h>

using namespace vq;

TEST(VQDestination, NamesAreKeptExactly) {
  for (const std::string Name : {"/queue/a", "a", "", " spaced "}) {
    EXPECT_EQ(TVQQueue(Name).GetQueueName(), Name);
    EXPECT_EQ(TVQTopic(Name).GetTopicName(), Name);
  }
}

TEST(VQDestination, KindIsTheInterfaceAnswered) {
  const std::shared_ptr<IDestination> Queue = std::make_shared<TVQQueue>("/queue/a");
  const std::shared_ptr<IDestination> Topic = std::make_shared<TVQTopic>("/topic/a");
  EXPECT_TRUE(std::dynamic_pointer_cast<IQueue>(Queue));
  EXPECT_FALSE(std::dynamic_pointer_cast<ITopic>(Queue));
  EXPECT_TRUE(std::dynamic_pointer_cast<ITopic>(Topic));
  EXPECT_FALSE(std::dynamic_pointer_cast<IQueue>(Topic));
  EXPECT_EQ(std::dynamic_pointer_cast<IQueue>(Queue)->GetQueueName(), "/queue/a");
}

TEST(VQDestination, TypeCodeIsFixedForQueuesAndTopics) {
  const std::shared_ptr<IQueue> Queue = std::make_shared<TVQQueue>("q");
  const std::shared_ptr<ITopic> Topic = std::make_shared<TVQTopic>("t");
  EXPECT_EQ(Queue->GetDestinationType(), 2);
  EXPECT_EQ(Topic->GetDestinationType(), 0);
  Queue->SetDestinationType(7);
  Topic->SetDestinationType(7);
  EXPECT_EQ(Queue->GetDestinationType(), 2);
  EXPECT_EQ(Topic->GetDestinationType(), 0);

  TVQDestination Plain;
  EXPECT_EQ(Plain.GetDestinationType(), 0);
  Plain.SetDestinationType(7);
  EXPECT_EQ(Plain.GetDestinationType(), 7);
}
