// Lists with one-based positions, the sorted dictionaries and their walks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/VELRawCollint.h"
#include "velp2p/VELHashDico.h"
#include "velp2p/VELListPtr.h"

namespace {

TEST(Lists, PositionsAreOneBasedBoundedAndShiftOnRemoval) {
  int a = 1, b = 2, c = 3;
  VELListPtr<int> list;
  for (int* value : {&a, static_cast<int*>(nullptr), &b})
    list.Append(value);
  EXPECT_EQ(list.InsertAt(2, &c), 1);  // a c null b
  EXPECT_EQ(list.InsertAt(6, &c), 0);
  EXPECT_EQ(list.Locate(&c, 3), 0);
  EXPECT_EQ(list.RemoveNulls(), 1);
  EXPECT_EQ(list.RemoveValue(&a), 1);  // c b
  EXPECT_EQ(list.RemovePosition(3), 0);
  ASSERT_EQ(list.Size(), 2);
  EXPECT_EQ(list[1], &c);
  EXPECT_EQ(list[2], &b);
  EXPECT_EQ(list[0], nullptr);
  EXPECT_EQ(list[3], nullptr);

  VELRawCollint numbers;
  for (int n : {0, 5, 0, 7})
    numbers.Append(n);
  EXPECT_EQ(numbers.RemoveNulls(), 2);
  numbers[3] = 1;  // outside: writes a scratch value, not the list
  const VELRawCollint& view = numbers;
  EXPECT_EQ(view.Size(), 2);
  EXPECT_EQ(view[2], 7);
  EXPECT_EQ(view[3], 0);
}

// Walks a dictionary with Next and returns the keys in the order returned.
std::vector<std::string> WalkKeys(VELHashDico& dico) {
  std::vector<std::string> keys;
  int bucket = 1, position = 0;
  VELUnicodeString key;
  while (dico.Next(bucket, position, &key))
    keys.push_back(key.Str());
  return keys;
}

TEST(HashDico, RefusesADuplicateAndWalksInKeyOrderWithTheWalkStateHeldByTheCaller) {
  int values[5];
  VELHashDico dico(10);
  const char* names[] = {"delta", "alpha", "echo", "charlie", "bravo"};
  for (int i = 0; i < 5; ++i)
    EXPECT_NE(dico.Insert(names[i], &values[i]), 0);
  EXPECT_EQ(dico.Insert("delta", &values[1]), 0);
  EXPECT_EQ(dico.Locate("delta"), &values[0]);
  EXPECT_EQ(dico.Remove("other"), nullptr);
  EXPECT_EQ(WalkKeys(dico), (std::vector<std::string>{"alpha", "bravo", "charlie", "delta", "echo"}));
  // An inner walk does not disturb the outer one.
  std::vector<std::string> pairs;
  int bucket = 1, position = 0;
  VELUnicodeString key;
  while (dico.Next(bucket, position, &key)) {
    for (const std::string& inner : WalkKeys(dico))
      pairs.push_back(key.Str() + "+" + inner);
  }
  ASSERT_EQ(pairs.size(), 25u);
  EXPECT_EQ(pairs[5], "bravo+alpha");
  EXPECT_EQ(pairs[24], "echo+echo");
  VELHashDico empty(10);
  bucket = 1, position = 0;
  EXPECT_EQ(empty.Next(bucket, position), nullptr);
}

TEST(HashDico, WalkSurvivesRemovingTheEntryJustReturnedAndChangesAheadOrBehind) {
  // The pattern of a directory being emptied while it is walked: every record is removed as it is seen.
  int values[5];
  VELHashDico dico(10);
  dico.Insert("b", &values[0]);
  dico.Insert("d", &values[1]);
  dico.Insert("f", &values[2]);
  std::vector<std::string> seen;
  int bucket = 1, position = 0;
  VELUnicodeString key;
  while (void* value = dico.Next(bucket, position, &key)) {
    seen.push_back(key.Str());
    EXPECT_EQ(dico.Remove(key), value);
    if (key == "b") {
      dico.Remove("d");              // ahead: never returned
      dico.Insert("a", &values[3]);  // behind: not returned in this walk
      dico.Insert("e", &values[4]);  // ahead: returned
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"b", "e", "f"}));
  EXPECT_EQ(WalkKeys(dico), std::vector<std::string>{"a"});
}

}  // namespace
