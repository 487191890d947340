// Objects: kept by reference only when allowed, else by their default value.
#include <gtest/gtest.h>

#include "collection/clsXCollection.h"
#include "tests/collection/test_objects.h"

namespace tidewell {
namespace {

using testing::MakeObject;

TEST(CollectionObjects, ByValueTakesTheDefaultValueAtTheTimeOfAdding) {
  clsXCollection c;
  auto object = MakeObject(Variant(5));
  c.Add("o", Variant(object));
  object->Set(Variant(6));
  const Variant stored = c.Item("o");
  EXPECT_FALSE(stored.IsObject());
  EXPECT_EQ(stored, Variant(5));
}

TEST(CollectionObjects, ByReferenceReturnsTheSameObject) {
  clsXCollection c;
  c.g_blnObjectsOk = true;
  auto object = MakeObject(Variant(5));
  c.Add("o", Variant(object));
  const Variant stored = c.Item("o");
  ASSERT_TRUE(stored.IsObject());
  EXPECT_EQ(stored.AsObject().get(), object.get());
  object->Set(Variant("changed"));
  EXPECT_EQ(c.SerialGet(), "o=changed");
}

TEST(CollectionObjects, NoDefaultValueKeepsThePreviousValue) {
  clsXCollection c;
  c.Add("k", Variant(1));
  c.Add("K", Variant(MakeObject()));
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.Item("k"), Variant(1));
  EXPECT_EQ(c.Key(1), "K");  // the key is still written
  c.Add("new", Variant(MakeObject()));
  EXPECT_EQ(c.Count(), 2);
  EXPECT_TRUE(c.Item("new").IsEmpty());
  c.Add("nothing", Variant(std::shared_ptr<XObject>()));
  EXPECT_EQ(c.Count(), 3);
  EXPECT_TRUE(c.Item("nothing").IsEmpty());
}

TEST(CollectionObjects, ItemSetFollowsTheObjectMode) {
  clsXCollection c;
  auto object = MakeObject(Variant("dv"));
  c.ItemSet(Variant("a"), object);
  EXPECT_EQ(c.Item("a"), Variant("dv"));
  c.g_blnObjectsOk = true;
  c.ItemSet(Variant("A"), object);
  EXPECT_EQ(c.Count(), 1);
  ASSERT_TRUE(c.Item("a").IsObject());
  EXPECT_EQ(c.Item("a").AsObject().get(), object.get());
  // Item let with an object value goes through the same rules.
  auto other = MakeObject(Variant(9));
  c.Item(Variant("b"), Variant(other));
  EXPECT_EQ(c.Item("b").AsObject().get(), other.get());
}

TEST(CollectionObjects, AnObjectAsArgumentStandsForItsDefaultValue) {
  clsXCollection c;
  c.Add("a", Variant(1));
  c.Add("b", Variant(2));
  EXPECT_EQ(c.Key(Variant(MakeObject(Variant(2)))), "b");
  EXPECT_EQ(c.Item(Variant(MakeObject(Variant("A")))), Variant(1));
  EXPECT_TRUE(c.Exists(Variant(MakeObject(Variant(1.5)))));
  EXPECT_FALSE(c.Exists(Variant(MakeObject())));
  c.Remove(Variant(MakeObject(Variant("b"))));
  EXPECT_EQ(c.Count(), 1);
  // As a key for assignment it gives its text; without a default value there is none.
  c.Item(Variant(MakeObject(Variant(7))), Variant("seven"));
  EXPECT_EQ(c.Item("7"), Variant("seven"));
  EXPECT_THROW(c.Item(Variant(MakeObject()), Variant(1)), VariantConversionError);
  EXPECT_EQ(c.Count(), 2);
}

TEST(CollectionObjects, SerialGetWritesTheTextOfStoredObjects) {
  clsXCollection c;
  c.g_blnObjectsOk = true;
  c.Add("with", Variant(MakeObject(Variant(true))));
  c.Add("without", Variant(MakeObject()));
  c.Add("nothing", Variant(std::shared_ptr<XObject>()));
  EXPECT_EQ(c.SerialGet(), "with=True\twithout=\tnothing=");
}

TEST(CollectionObjects, ClearReleasesTheObjects) {
  clsXCollection c;
  c.g_blnObjectsOk = true;
  auto object = MakeObject(Variant(1));
  c.Add("o", Variant(object));
  EXPECT_EQ(object.use_count(), 2);
  c.Clear();
  EXPECT_EQ(object.use_count(), 1);
  c.Add("o", Variant(object));
  c.Remove(1);
  EXPECT_EQ(object.use_count(), 1);
}

}  // namespace
}  // namespace tidewell
