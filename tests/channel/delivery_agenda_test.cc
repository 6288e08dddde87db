#include "channel/delivery_agenda.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

agenda_item *item(uint32_t seq, uint32_t agenda_id = 0, uint32_t created = 0) {
  auto *i = static_cast<agenda_item *>(std::calloc(1, sizeof(agenda_item)));
  i->seq = seq;
  i->agenda_id = agenda_id;
  i->created = created;
  return i;
}

class DeliveryAgenda : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(delivery_agenda_init(&agenda, 10), DELIVERY_AGENDA_OK); }
  void TearDown() override { delivery_agenda_free(&agenda); }
  uint32_t seq_at(uint32_t index) {
    agenda_item *found = nullptr;
    EXPECT_EQ(delivery_agenda_get_item(&agenda, &found, index), DELIVERY_AGENDA_OK);
    return found ? found->seq : 0xDEADu;
  }
  delivery_agenda agenda{};
};

}  // namespace

TEST_F(DeliveryAgenda, EleventhItemGrowsTheArrayBy5000) {
  for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(delivery_agenda_add_item(&agenda, item(i)), 0);
  EXPECT_EQ(agenda.capacity, 10u);
  ASSERT_EQ(delivery_agenda_add_item(&agenda, item(10)), 0);
  EXPECT_EQ(agenda.capacity, 5010u);
  EXPECT_EQ(delivery_agenda_get_num_item(&agenda), 11u);
  for (uint32_t i = 0; i < 11; ++i) EXPECT_EQ(seq_at(i), i);
}

TEST_F(DeliveryAgenda, DeletionKeepsTheOrder) {
  for (uint32_t i = 0; i < 3; ++i) delivery_agenda_add_item(&agenda, item(i));
  ASSERT_EQ(delivery_agenda_delete_item(&agenda, 0), 0);
  ASSERT_EQ(delivery_agenda_get_num_item(&agenda), 2u);
  EXPECT_EQ(seq_at(0), 1u);
  EXPECT_EQ(seq_at(1), 2u);
  EXPECT_EQ(delivery_agenda_delete_item(&agenda, 1), 0);
  EXPECT_EQ(seq_at(0), 1u);
}

TEST_F(DeliveryAgenda, ResultCodes) {
  agenda_item *untouched = reinterpret_cast<agenda_item *>(0x1);
  agenda_item *out = untouched;
  agenda_item *spare = item(99);
  EXPECT_EQ(delivery_agenda_get_item(&agenda, &out, 0), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 1), DELIVERY_AGENDA_NOT_FOUND);
  delivery_agenda_add_item(&agenda, item(1));
  EXPECT_EQ(delivery_agenda_get_item(&agenda, &out, 1), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(delivery_agenda_delete_item(&agenda, 1), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 2), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 1, 1), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_detach_item_by_id_seq(&agenda, 0, 2, &out), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_get_num_item(&agenda), 1u);

  EXPECT_EQ(delivery_agenda_init(nullptr, 10), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_free(nullptr), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_add_item(nullptr, spare), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_add_item(&agenda, nullptr), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_get_item(nullptr, &out, 0), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_get_item(&agenda, nullptr, 0), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_delete_item(nullptr, 0), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(nullptr, 0, 1), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_detach_item_by_id_seq(&agenda, 0, 1, nullptr),
            DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(delivery_agenda_get_num_item(nullptr), 0u);
  std::free(spare);
}

TEST_F(DeliveryAgenda, LookupFindsTheOlderOfTwoEqualItems) {
  delivery_agenda_add_item(&agenda, item(5, 0, 111));
  delivery_agenda_add_item(&agenda, item(6, 0, 222));
  delivery_agenda_add_item(&agenda, item(5, 0, 333));
  agenda_item *found = nullptr;
  ASSERT_EQ(delivery_agenda_detach_item_by_id_seq(&agenda, 0, 5, &found), 0);
  EXPECT_EQ(found->created, 111u);
  std::free(found);
  ASSERT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 5), 0);
  ASSERT_EQ(delivery_agenda_get_num_item(&agenda), 1u);
  EXPECT_EQ(seq_at(0), 6u);
}

TEST_F(DeliveryAgenda, FreeReleasesEverythingAndTwiceIsHarmless) {
  for (uint32_t i = 0; i < 12; ++i) delivery_agenda_add_item(&agenda, item(i));
  EXPECT_EQ(delivery_agenda_free(&agenda), 0);
  EXPECT_EQ(agenda.count, 0u);
  EXPECT_EQ(agenda.capacity, 0u);
  EXPECT_EQ(agenda.items, nullptr);
  EXPECT_EQ(delivery_agenda_free(&agenda), 0);
  // A freed agenda grows again on the next add rather than writing to nothing.
  EXPECT_EQ(delivery_agenda_add_item(&agenda, item(1)), 0);
  EXPECT_EQ(agenda.capacity, 5000u);
}
