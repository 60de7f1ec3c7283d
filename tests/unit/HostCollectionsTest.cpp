#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/VELSysSimpleHashTable.h"
#include "velp2p/VELHashDico.h"
#include "velp2p/VELHashDicoS.h"
#include "velp2p/VELListPtr.h"
#include "velp2p/VELRawCollint.h"

namespace {

TEST(PointerLists, PositionsAreOneBasedAndRemovalShifts) {
  int a = 1, b = 2, c = 3;
  VELRawCollPV list;
  list.Append(&a);
  list.Append(&b);
  EXPECT_EQ(list.InsertAt(2, &c), 1);  // a c b
  EXPECT_EQ(list.InsertAt(5, &c), 0);
  EXPECT_EQ(list.Size(), 3);
  EXPECT_EQ(list[2], &c);
  EXPECT_EQ(list.Locate(&c), 2);
  EXPECT_EQ(list.Locate(&c, 3), 0);
  EXPECT_EQ(list.RemoveValue(&a), 1);  // c b
  EXPECT_EQ(list.RemoveValue(&a), 0);
  EXPECT_EQ(list[1], &c);
  EXPECT_EQ(list.RemovePosition(3), 0);
  EXPECT_EQ(list.RemovePosition(2), 1);
  EXPECT_EQ(list.Size(), 1);
  const VELRawCollPV& view = list;
  EXPECT_EQ(view[0], nullptr);
  EXPECT_EQ(view[2], nullptr);
}

TEST(PointerLists, RemoveNullsKeepsOrder) {
  int a = 1, b = 2;
  VELRawCollPV list;
  list.Append(nullptr);
  list.Append(&a);
  list.Append(nullptr);
  list.Append(&b);
  EXPECT_EQ(list.RemoveNulls(), 2);
  ASSERT_EQ(list.Size(), 2);
  EXPECT_EQ(list[1], &a);
  EXPECT_EQ(list[2], &b);

  VELRawCollint numbers;
  for (int n : {0, 5, 0, 7})
    numbers.Append(n);
  EXPECT_EQ(numbers.RemoveNulls(), 2);
  EXPECT_EQ(numbers[1], 5);
  EXPECT_EQ(numbers[2], 7);
  EXPECT_EQ(numbers.Locate(7), 2);
  EXPECT_EQ(numbers.RemoveValue(5), 1);
  EXPECT_EQ(numbers.InsertAt(1, 9), 1);
  EXPECT_EQ(numbers[1], 9);
  EXPECT_EQ(numbers[3], 0);
}

struct Item {
  int id;
};

TEST(PointerLists, TypedListHandsOutTypedPointersAndNeverOwns) {
  Item first{1}, second{2};
  VELListPtr<Item> list;
  list.Append(&first);
  list.Append(&second);
  EXPECT_EQ(list[2]->id, 2);
  EXPECT_EQ(list[3], nullptr);
  EXPECT_EQ(list.Locate(&second), 2);
  std::vector<int> seen;
  for (Item* item : list)
    seen.push_back(item->id);
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  list.RemoveAll();  // the items live on: they belong to this test
  EXPECT_EQ(first.id, 1);
}

// Walks a dictionary with Next and returns the keys in the order returned.
template <class Dico, class Key>
std::vector<std::string> WalkKeys(Dico& dico) {
  std::vector<std::string> keys;
  int bucket = 1, position = 0;
  Key key;
  while (dico.Next(bucket, position, &key))
    keys.push_back(key.Str());
  return keys;
}

TEST(HashDico, InsertRefusesADuplicateAndKeepsTheFirstValue) {
  int first = 1, second = 2;
  VELHashDico dico(10);
  EXPECT_NE(dico.Insert("peer", &first), 0);
  EXPECT_EQ(dico.Insert("peer", &second), 0);
  EXPECT_EQ(dico.Locate("peer"), &first);
  EXPECT_EQ(dico.Size(), 1);
  EXPECT_EQ(dico.Locate("other"), nullptr);
  EXPECT_EQ(dico.Remove("other"), nullptr);
  EXPECT_EQ(dico.Remove("peer"), &first);
  EXPECT_EQ(dico.Size(), 0);
}

TEST(HashDico, NextVisitsEveryEntryOnceInKeyOrder) {
  int values[5];
  VELHashDico dico(10);
  const char* names[] = {"delta", "alpha", "echo", "charlie", "bravo"};
  for (int i = 0; i < 5; ++i)
    dico.Insert(names[i], &values[i]);
  EXPECT_EQ((WalkKeys<VELHashDico, VELUnicodeString>(dico)),
            (std::vector<std::string>{"alpha", "bravo", "charlie", "delta", "echo"}));
  int bucket = 1, position = 0;
  EXPECT_EQ(dico.Next(bucket, position), &values[1]);  // the key is optional
  VELHashDico empty(10);
  bucket = 1, position = 0;
  EXPECT_EQ(empty.Next(bucket, position), nullptr);
}

TEST(HashDico, RemovingTheEntryJustReturnedContinuesWithTheNext) {
  // The pattern of a directory being emptied while it is walked: every record is removed as it is seen.
  int values[4];
  VELHashDico dico(10);
  const char* names[] = {"a", "b", "c", "d"};
  for (int i = 0; i < 4; ++i)
    dico.Insert(names[i], &values[i]);
  std::vector<std::string> seen;
  int bucket = 1, position = 0;
  VELUnicodeString key;
  while (void* value = dico.Next(bucket, position, &key)) {
    seen.push_back(key.Str());
    EXPECT_EQ(dico.Remove(key), value);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(dico.Size(), 0);
}

TEST(HashDico, ChangesBehindAndAheadOfTheWalkAreHandled) {
  int values[6];
  VELHashDico dico(10);
  dico.Insert("b", &values[0]);
  dico.Insert("d", &values[1]);
  dico.Insert("f", &values[2]);
  std::vector<std::string> seen;
  int bucket = 1, position = 0;
  VELUnicodeString key;
  while (dico.Next(bucket, position, &key)) {
    seen.push_back(key.Str());
    if (key == "b") {
      dico.Remove("d");              // ahead: never returned
      dico.Insert("a", &values[3]);  // behind: not returned in this walk
      dico.Insert("e", &values[4]);  // ahead: returned
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"b", "e", "f"}));
}

TEST(HashDico, InterleavedWalksDoNotDisturbEachOther) {
  int values[3];
  VELHashDico dico(10);
  dico.Insert("x", &values[0]);
  dico.Insert("y", &values[1]);
  dico.Insert("z", &values[2]);
  std::vector<std::string> pairs;
  int outerBucket = 1, outerPosition = 0;
  VELUnicodeString outer;
  while (dico.Next(outerBucket, outerPosition, &outer)) {
    int innerBucket = 1, innerPosition = 0;
    VELUnicodeString inner;
    while (dico.Next(innerBucket, innerPosition, &inner))
      pairs.push_back(outer.Str() + inner.Str());
  }
  EXPECT_EQ(pairs, (std::vector<std::string>{"xx", "xy", "xz", "yx", "yy", "yz", "zx", "zy", "zz"}));
}

TEST(HashDico, CopyTakesEntriesAndForEachSeesThemInOrder) {
  int values[2];
  VELHashDicoS dico(10);
  dico.Insert(VELString("sender2"), &values[1]);
  dico.Insert(VELString("sender1"), &values[0]);
  VELHashDicoS copy(dico);
  EXPECT_TRUE(copy == dico);
  std::vector<std::string> keys;
  copy.ForEach([&](const VELString& key, void*) { keys.push_back(key.Str()); });
  EXPECT_EQ(keys, (std::vector<std::string>{"sender1", "sender2"}));
  copy.RemoveAll();
  EXPECT_EQ(copy.Size(), 0);
  EXPECT_EQ(dico.Size(), 2);
  EXPECT_TRUE(copy != dico);
}

struct Group {
  uint32_t id;
};

uint32_t GroupHash(const void* record) {
  return record ? static_cast<const Group*>(record)->id : 0xFFFFFFFFu;
}

int GroupCompare(const void* a, const void* b) {
  if (!a || !b)
    return 1;
  return static_cast<const Group*>(a)->id == static_cast<const Group*>(b)->id ? 1 : 0;
}

uint32_t ConstantHash(const void*) {
  return 7;
}
int NeverEqual(const void*, const void*) {
  return 0;
}

TEST(SimpleHashTable, RefusesARecordEqualToAStoredOne) {
  Group first{42}, same{42}, other{43};
  VELSysSimpleHashTable table(0, GroupHash, GroupCompare);
  EXPECT_EQ(table.Insert(&first), 1);
  EXPECT_EQ(table.Insert(&same), 0);
  EXPECT_EQ(table.Insert(&first), 0);
  EXPECT_EQ(table.Insert(nullptr), 0);
  EXPECT_EQ(table.Insert(&other), 1);
  EXPECT_EQ(table.Size(), 2);
  EXPECT_EQ(table.KeyLocate(42), &first);
  EXPECT_EQ(table.KeyLocate(44), nullptr);
}

TEST(SimpleHashTable, KeepsRecordsSharingAHashInInsertionOrder) {
  Group a{1}, b{2}, c{3};
  VELSysSimpleHashTable table(0, ConstantHash, NeverEqual);
  EXPECT_EQ(table.Insert(&a), 1);
  EXPECT_EQ(table.Insert(&b), 1);
  EXPECT_EQ(table.Insert(&c), 1);
  EXPECT_EQ(table.KeyLocate(7), &a);
  EXPECT_EQ(table.Remove(&a), 1);
  EXPECT_EQ(table.KeyLocate(7), &b);
  EXPECT_EQ(table.Remove(&a), 0);
  std::vector<uint32_t> left;
  table.ForEach([&](void* record) { left.push_back(static_cast<Group*>(record)->id); });
  EXPECT_EQ(left, (std::vector<uint32_t>{2, 3}));
}

TEST(SimpleHashTable, RemovesOnlyTheGivenRecordEvenAfterItsKeyChanged) {
  Group stored{5}, probe{5};
  VELSysSimpleHashTable table(0, GroupHash, GroupCompare);
  ASSERT_EQ(table.Insert(&stored), 1);
  EXPECT_EQ(table.Remove(&probe), 0);  // equal but not the stored record: the caller could not free it
  stored.id = 9;
  EXPECT_EQ(table.Remove(&stored), 1);
  EXPECT_EQ(table.Size(), 0);
  EXPECT_EQ(table.KeyLocate(5), nullptr);
}

}  // namespace
