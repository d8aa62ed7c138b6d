// The handle table against the scan from the front it replaces: after every step of a random run
// of creations and removals, each value a caller could pass finds the same record both ways.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

#include "bridge/handle_table.h"

namespace {

struct Record {
  jint handle = 0;
  int payload = 0;
};

// What a scan from the front finds: the first live record with the handle.
const Record* Scan(const std::vector<const Record*>& order, jint handle) {
  for (const Record* record : order)
    if (record->handle == handle) return record;
  return nullptr;
}

TEST(HandleTable, FindsWhatAScanFromTheFrontFindsAndRecordsStayPut) {
  HandleTable<Record> table;
  std::vector<const Record*> order;  // the live records in creation order
  std::mt19937 random(7);
  jint last = 1;
  for (int step = 0; step < 3000; ++step) {
    if (order.empty() || random() % 3 != 0) {
      Record& record = table.emplace_back();
      record.handle = ++last;
      record.payload = step;
      order.push_back(&record);
      // A creation that fails takes its record off again and still uses up its number.
      if (random() % 10 == 0) {
        table.pop_back();
        order.pop_back();
      }
    } else {
      const size_t victim = random() % order.size();
      auto position = table.Position(order[victim]->handle);
      ASSERT_NE(position, table.end());
      table.erase(position);
      order.erase(order.begin() + static_cast<long>(victim));
    }
    ASSERT_EQ(table.size(), order.size());
    std::vector<jint> probes = {0, -1, 1, INT_MIN, INT_MAX, last, last + 1, last / 2};
    if (!order.empty()) probes.push_back(order[random() % order.size()]->handle);
    for (jint probe : probes) {
      const Record* found = table.Find(probe);
      ASSERT_EQ(found, Scan(order, probe)) << "handle " << probe << " at step " << step;
      EXPECT_EQ(table.Position(probe) == table.end(), found == nullptr);
    }
  }
  size_t at = 0;
  for (auto& record : table) ASSERT_EQ(record.get(), order[at++]) << "creation order kept";
}

TEST(HandleTable, ABurstFreedFromEitherEndLeavesTheRestInPlace) {
  HandleTable<Record> table;
  for (jint handle = 2; handle < 20002; ++handle) table.emplace_back().handle = handle;
  Record* survivor = table.Find(10002);
  while (table.size() > 10000) table.erase(table.begin());
  while (table.size() > 1) table.erase(table.Position(table.back().handle));
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table.Find(10002), survivor) << "the record itself never moved";
  EXPECT_EQ(table.Find(10001), nullptr);
  EXPECT_EQ(table.Find(10003), nullptr);
  table.clear();
  EXPECT_TRUE(table.empty());
}

}  // namespace
