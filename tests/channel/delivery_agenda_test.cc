#include "channel/delivery_agenda.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

agenda_item *item(uint32_t seq, uint32_t id = 0) {
  agenda_item_ptr i = delivery_agenda_new_item();
  i->seq = seq;
  i->agenda_id = id;
  return i.release();
}

std::vector<uint32_t> seqs(delivery_agenda &agenda) {
  std::vector<uint32_t> out;
  agenda_item *found = nullptr;
  for (uint32_t i = 0; delivery_agenda_get_item(&agenda, &found, i) == DELIVERY_AGENDA_OK; ++i) out.push_back(found->seq);
  EXPECT_EQ(out.size(), delivery_agenda_get_num_item(&agenda));
  return out;
}

}  // namespace

TEST(DeliveryAgenda, EleventhItemGrowsTheArrayAndDeletionKeepsTheOrder) {
  delivery_agenda agenda{};
  ASSERT_EQ(delivery_agenda_init(&agenda, 10), DELIVERY_AGENDA_OK);
  for (uint32_t i = 0; i <= 10; ++i) ASSERT_EQ(delivery_agenda_add_item(&agenda, item(i, i % 2)), 0);
  for (uint32_t at : {0, 4, 8}) ASSERT_EQ(delivery_agenda_delete_item(&agenda, at), 0);
  ASSERT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 1, 7), 0);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 9), DELIVERY_AGENDA_NOT_FOUND) << "id and seq must both match";
  EXPECT_EQ(seqs(agenda), (std::vector<uint32_t>{1, 2, 3, 4, 6, 8, 9}));
  EXPECT_EQ(delivery_agenda_delete_item(&agenda, 7), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(delivery_agenda_add_item(&agenda, nullptr), DELIVERY_AGENDA_NULL_ARGUMENT);
  // Freeing twice is harmless, and a freed agenda takes items again.
  EXPECT_EQ(delivery_agenda_free(&agenda) + delivery_agenda_free(&agenda), 0);
  EXPECT_EQ(delivery_agenda_add_item(&agenda, item(1)), 0);
  delivery_agenda_free(&agenda);  // the leak checker sees the rest
}
