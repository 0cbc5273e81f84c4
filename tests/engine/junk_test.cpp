#include "engine/junk.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ombrel {
namespace {

// An object that writes its name to a shared log when it is destroyed.
struct Tracked {
    Tracked(std::string name, std::vector<std::string>& log) : name(std::move(name)), log(log) {}
    ~Tracked() { log.push_back(name); }
    std::string name;
    std::vector<std::string>& log;
};

class TJunkTest : public ::testing::Test {
protected:
    std::unique_ptr<Tracked> Make(const std::string& name) {
        return std::make_unique<Tracked>(name, freed);
    }
    std::vector<std::string> freed;
    TJunk root{"Ombrel", nullptr};
};

TEST_F(TJunkTest, AddOfNothingAddsNothingAndChains) {
    TJunk& answer = root.Add(std::unique_ptr<Tracked>()).Add(Make("A"));
    EXPECT_EQ(&answer, &root);
    EXPECT_EQ(root.Objects().size(), 1u);
}

TEST_F(TJunkTest, ClearReleasesInOrderWithSubBucketsDepthFirst) {
    root.Add(Make("A"));
    TJunk& sub = root.getBucket("S");
    // S's trash goes when S itself is freed: after S's list, before the objects after S.
    sub.Add(Make("T"));
    sub.MoveToTrash();
    sub.Add(Make("C"));
    TJunk& nested = sub.getBucket("N");
    nested.Add(Make("D"));
    sub.Add(Make("E"));
    root.Add(Make("B"));

    root.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"A", "C", "D", "E", "T", "B"}));
    EXPECT_TRUE(root.Objects().empty());

    root.Clear();
    EXPECT_EQ(freed.size(), 6u) << "a second Clear frees nothing";
}

TEST_F(TJunkTest, GetBucketAnswersTheSameBucketByExactName) {
    TJunk& first = root.getBucket("Execute");
    EXPECT_EQ(&root.getBucket("Execute"), &first);
    EXPECT_NE(&root.getBucket("execute"), &first);
    EXPECT_EQ(first.Name(), "Execute");
    EXPECT_EQ(root.Objects().size(), 2u) << "each new bucket is an object of its parent";
}

TEST_F(TJunkTest, ClearingASubBucketKeepsItUsable) {
    TJunk& execute = root.getBucket("Execute");
    execute.Add(Make("plan"));
    execute.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"plan"}));
    EXPECT_EQ(&root.getBucket("Execute"), &execute);
    execute.Add(Make("next"));
    root.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"plan", "next"}));
}

TEST_F(TJunkTest, NeverAnswersABucketThatWasReleasedOrHandedAway) {
    root.getBucket("S").Add(Make("1"));
    root.Clear();
    TJunk& fresh = root.getBucket("S");
    EXPECT_TRUE(fresh.Objects().empty());
    fresh.Add(Make("2"));

    TJunk other{"Other", nullptr};
    root.MoveTo(other);
    TJunk& again = root.getBucket("S");
    EXPECT_TRUE(again.Objects().empty()) << "the moved bucket belongs to the other one now";
    root.MoveToTrash();
    EXPECT_NE(&root.getBucket("S"), &again);
    EXPECT_EQ(freed, (std::vector<std::string>{"1"}));
}

TEST_F(TJunkTest, TrashIsReleasedOnlyByClearTrash) {
    root.Add(Make("A")).Add(Make("B"));
    root.MoveToTrash();
    root.Clear();
    EXPECT_TRUE(freed.empty());
    EXPECT_EQ(root.TrashObjects().size(), 2u);
    root.ClearTrash();
    EXPECT_EQ(freed, (std::vector<std::string>{"A", "B"}));
}

TEST_F(TJunkTest, ExtractHandsTheObjectsBackAlive) {
    root.Add(Make("A"));
    std::vector<TJunkObject> taken = root.Extract();
    root.Clear();
    EXPECT_TRUE(freed.empty());
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(static_cast<Tracked*>(taken[0].get())->name, "A");
}

TEST_F(TJunkTest, MoveToHandsListAndTrashOverInOrder) {
    TJunk target{"Target", nullptr};
    root.Add(Make("T"));
    root.MoveToTrash();
    root.Add(Make("A")).Add(Make("B"));
    root.MoveTo(target);
    EXPECT_TRUE(root.Objects().empty());
    EXPECT_TRUE(root.TrashObjects().empty());
    target.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"A", "B"}));
    target.ClearTrash();
    EXPECT_EQ(freed.back(), "T");
}

TEST_F(TJunkTest, DestroyReleasesTrashBeforeList) {
    {
        TJunk bucket{"B", nullptr};
        bucket.Add(Make("trash"));
        bucket.MoveToTrash();
        bucket.Add(Make("list1"));
        bucket.getBucket("sub").Add(Make("nested"));
        bucket.Add(Make("list2"));
    }
    EXPECT_EQ(freed, (std::vector<std::string>{"trash", "list1", "nested", "list2"}));
}

TEST_F(TJunkTest, AddOfSeveralObjectsKeepsTheirOrder) {
    std::vector<std::unique_ptr<Tracked>> objects;
    objects.push_back(Make("1"));
    objects.push_back(nullptr);
    objects.push_back(Make("2"));
    root.Add(std::move(objects));
    EXPECT_EQ(root.Objects().size(), 2u);
    root.Clear();
    EXPECT_EQ(freed, (std::vector<std::string>{"1", "2"}));
}

}  // namespace
}  // namespace ombrel
