// The abstract drive/directory/file classes and the debug output.
#include <utility>

#include "Devices.h"

void TDebug::DebugOut(const AnsiString& msg) {
  if (OnDebugOut) OnDebugOut(this, msg);
}

// ---- Files ------------------------------------------------------------------------

namespace {

void CopyFileFields(const TCustomFile& from, TCustomFile& to) {
  to.Name = from.Name;
  to.Drive = from.Drive;
  to.Deleted = from.Deleted;
  to.DeletedCondition = from.DeletedCondition;
  to.Parent = from.Parent;
}

}  // namespace

void TCustomFile::Assign(TObject* source) {
  if (auto* from = dynamic_cast<TCustomFile*>(source); from && from != this) CopyFileFields(*from, *this);
}

void TCustomFile::AssignTo(TObject* dest) {
  if (auto* to = dynamic_cast<TCustomFile*>(dest); to && to != this) CopyFileFields(*this, *to);
}

AnsiString TCustomFile::GetPath(TCustomDirectory* base) { return FilePath(this, base); }

// ---- Directories ---------------------------------------------------------------------

namespace {

bool IsItem(TObject* o) { return dynamic_cast<TCustomDirectory*>(o) || dynamic_cast<TCustomFile*>(o); }

// Frees the items of a list, whole subtrees included, without recursing: a
// directory's children join the work list before the directory is freed, so
// a deep tree can't exhaust the stack. A directory whose list is shared with
// another one keeps it; the other holder frees those children later.
void FreeItems(TChildList work) {
  // Index walk rather than a stack, so items go in list order.
  for (size_t i = 0; i < work.size(); ++i) {
    TObject* item = work[i];
    if (!IsItem(item)) continue;
    if (auto* dir = dynamic_cast<TCustomDirectory*>(item); dir && dir->Children) {
      if (dir->Children.use_count() == 1)
        for (TObject* child : *dir->Children) work.push_back(child);
      dir->Children.reset();
    }
    delete item;
  }
}

// Lets go of dir's list: the last holder frees its children.
void ReleaseChildren(std::shared_ptr<TChildList>& children) {
  if (children && children.use_count() == 1) {
    TChildList items;
    items.swap(*children);
    FreeItems(std::move(items));
  }
  children.reset();
}

void CopyDirectoryFields(const TCustomDirectory& from, TCustomDirectory& to) {
  to.Name = from.Name;
  to.Drive = from.Drive;
  to.Marked = from.Marked;
  to.DeletedState = from.DeletedState;
  to.DeletedCondition = from.DeletedCondition;
  to.Parent = from.Parent;
  if (to.Children != from.Children) {
    std::shared_ptr<TChildList> shared = from.Children;  // from may be a child in to's list
    ReleaseChildren(to.Children);
    to.Children = std::move(shared);
  }
}

}  // namespace

TCustomDirectory::~TCustomDirectory() { ReleaseChildren(Children); }

void TCustomDirectory::Assign(TObject* source) {
  if (auto* from = dynamic_cast<TCustomDirectory*>(source); from && from != this) CopyDirectoryFields(*from, *this);
}

void TCustomDirectory::AssignTo(TObject* dest) {
  if (auto* to = dynamic_cast<TCustomDirectory*>(dest); to && to != this) CopyDirectoryFields(*this, *to);
}

void TCustomDirectory::DeleteChildren() {
  if (!Children) return;
  // Taken out first so that nothing freed below sees a half-walked list.
  TChildList items;
  items.swap(*Children);
  FreeItems(std::move(items));
}

AnsiString TCustomDirectory::GetPath(TCustomDirectory* base) { return DirectoryPath(this, base); }

bool TCustomDirectory::ChildIsSubDir() {
  if (!Children) return false;
  for (TObject* child : *Children)
    if (dynamic_cast<TCustomDirectory*>(child)) return true;
  return false;
}

// ---- Paths ---------------------------------------------------------------------------

AnsiString DirectoryPath(const TCustomDirectory* dir, const TCustomDirectory* base, const TPathNameFilter& nameOf) {
  if (!dir || dir == base) return {};
  auto name = [&](const TCustomDirectory& d) { return nameOf ? nameOf(d) : d.Name; };
  AnsiString path = name(*dir);
  int depth = 0;
  for (const TCustomDirectory* up = dir->Parent; up && up != base && depth < kMaxPathDepth;
       up = up->Parent, ++depth)
    path = name(*up) + "\\" + path;
  return path;
}

AnsiString FilePath(const TCustomFile* file, const TCustomDirectory* base, const TPathNameFilter& nameOf) {
  return file ? DirectoryPath(file->Parent, base, nameOf) : AnsiString();
}
