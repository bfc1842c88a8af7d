#include <gtest/gtest.h>

#include "Devices.h"

namespace {

// Items alive right now: every test ends where it began, and ASan catches
// any item freed twice.
int liveItems = 0;

template <class Item>
class Counted : public Item {
 public:
  explicit Counted(AnsiString name = "") {
    this->Name = std::move(name);
    ++liveItems;
  }
  ~Counted() override { --liveItems; }
  bool Rename(const AnsiString&) override { return false; }  // the base never renames
};

class TestFile : public Counted<TCustomFile> {
 public:
  using Counted::Counted;
  void ChangeListViewItem(TListItem&) override {}
};

class TestDir : public Counted<TCustomDirectory> {
 public:
  using Counted::Counted;
  bool ForEachChild(TForEachChildCallback, bool, bool, bool, intptr_t) override { return false; }  // nor walks
};

// Lives in a children list without being an item: DeleteChildren leaves it alone.
class Stranger : public TObject {};

template <class T>
T* Add(TCustomDirectory& parent, const char* name) {
  if (!parent.Children) parent.Children = std::make_shared<TChildList>();
  auto* item = new T(name);
  item->Parent = &parent;
  parent.Children->push_back(item);
  return item;
}

class ObjectModel : public ::testing::Test {
 protected:
  void SetUp() override { before = liveItems; }
  void TearDown() override { EXPECT_EQ(liveItems, before) << "items leaked or freed twice"; }
  int before = 0;
};

TEST_F(ObjectModel, DeleteChildrenFreesSubtreesAndKeepsTheList) {
  TestDir root;
  root.DeleteChildren();  // no list yet: nothing happens
  auto* d1 = Add<TestDir>(root, "D1");
  Add<TestFile>(*d1, "F1");
  Add<TestFile>(*Add<TestDir>(*d1, "D2"), "F2");
  Add<TestFile>(root, "F3");
  Stranger stranger;
  root.Children->push_back(&stranger);
  const auto list = root.Children;
  root.DeleteChildren();
  EXPECT_EQ(liveItems, before + 1);  // only root itself
  EXPECT_EQ(root.Children, list);
  EXPECT_TRUE(root.Children->empty());
}

TEST_F(ObjectModel, VeryDeepTreesAreFreedWithoutRecursion) {
  auto root = std::make_unique<TestDir>();
  TCustomDirectory* dir = root.get();
  for (int i = 0; i < 200000; ++i) dir = Add<TestDir>(*dir, "d");
  Add<TestFile>(*dir, "leaf");
  // The parent walk is bounded too.
  EXPECT_EQ(DirectoryPath(dir, nullptr).size(), size_t{kMaxPathDepth} * 2 + 1);
  root.reset();
}

TEST_F(ObjectModel, FileAssignCopiesTheItemFieldsOnly) {
  TestDir folder("F");
  TestFile src("SRC"), viaAssign, viaAssignTo;
  src.Drive = reinterpret_cast<TCustomDrive*>(&folder);  // any address will do: it is only copied
  src.Deleted = true, src.DeletedCondition = 2, src.Parent = &folder, src.Size = 77, src.Time = 9;
  viaAssign.Assign(&src);
  src.AssignTo(&viaAssignTo);
  for (TestFile* f : {&viaAssign, &viaAssignTo}) {
    EXPECT_EQ(std::tie(f->Name, f->Drive, f->Deleted, f->DeletedCondition, f->Parent),
              std::tie(src.Name, src.Drive, src.Deleted, src.DeletedCondition, src.Parent));
    EXPECT_EQ(f->Size + f->Time, 0);  // sizes and times are the file system's to copy
  }
  viaAssign.Assign(&folder);  // not a file: nothing changes
  EXPECT_EQ(viaAssign.Name, "SRC");
}

TEST_F(ObjectModel, DirectoryAssignSharesTheListAndTheLastHolderFreesIt) {
  // Each way round: AssignTo with the source freed first, Assign with the target freed first.
  for (bool sourceDiesFirst : {true, false}) {
    auto src = std::make_unique<TestDir>("SRC");
    auto dst = std::make_unique<TestDir>("DST");
    Add<TestFile>(*Add<TestDir>(*dst, "OLD"), "old");  // let go of by the assignment
    src->Marked = 1, src->DeletedState = 5, src->DeletedCondition = 2, src->Time = 9;
    Add<TestFile>(*Add<TestDir>(*src, "SUB"), "f");
    sourceDiesFirst ? src->AssignTo(dst.get()) : dst->Assign(src.get());
    EXPECT_EQ(liveItems, before + 4);  // SRC, DST, SUB, f
    EXPECT_EQ(std::tie(dst->Name, dst->Marked, dst->DeletedState, dst->DeletedCondition, dst->Children),
              std::tie(src->Name, src->Marked, src->DeletedState, src->DeletedCondition, src->Children));
    EXPECT_EQ(dst->Time, 0);
    dst->Assign(src.get());  // again: same list, nothing freed
    (sourceDiesFirst ? src : dst).reset();
    auto& survivor = sourceDiesFirst ? dst : src;
    EXPECT_EQ(liveItems, before + 3);
    EXPECT_TRUE(survivor->ChildIsSubDir());
    survivor.reset();
  }
}

TEST_F(ObjectModel, Paths) {
  TestDir root;  // start items have no name
  auto* dir = Add<TestDir>(root, "DIR");
  auto* sub = Add<TestDir>(*dir, "SUB");
  auto* inSub = Add<TestFile>(*sub, "file.txt");
  auto* inRoot = Add<TestFile>(root, "top.txt");
  TestFile orphan("orphan");
  EXPECT_FALSE(sub->ChildIsSubDir());  // files only

  const std::pair<AnsiString, AnsiString> cases[] = {
      {sub->GetPath(nullptr), "\\DIR\\SUB"}, {inSub->GetPath(nullptr), "\\DIR\\SUB"},  // a file gives its folder
      {sub->GetPath(&root), "DIR\\SUB"},  // the base's name is not part of it
      {sub->GetPath(dir), "SUB"}, {inRoot->GetPath(nullptr), ""}, {inSub->GetPath(sub), ""}, {orphan.GetPath(nullptr), ""}};
  for (const auto& [path, expected] : cases) EXPECT_EQ(path, expected);

  auto shout = [](const TCustomDirectory& d) { return d.Name.empty() ? d.Name : "<" + d.Name + ">"; };
  EXPECT_EQ(FilePath(inSub, nullptr, shout), "\\<DIR>\\<SUB>");

  // A parent chain that loops still ends.
  TestDir a("a"), b("b");
  a.Parent = &b;
  b.Parent = &a;
  EXPECT_FALSE(DirectoryPath(&a, nullptr).empty());
}

}  // namespace
