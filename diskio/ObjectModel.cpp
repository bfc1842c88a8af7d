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
  if (auto* from = ItemAs<TCustomFile>(source); from && from != this) CopyFileFields(*from, *this);
}

void TCustomFile::AssignTo(TObject* dest) {
  if (auto* to = ItemAs<TCustomFile>(dest); to && to != this) CopyFileFields(*this, *to);
}

AnsiString TCustomFile::GetPath(TCustomDirectory* base) { return FilePath(this, base); }

// ---- Directories ---------------------------------------------------------------------

namespace {

bool IsItem(TObject* o) { return ItemAs<TCustomDirectory>(o) || ItemAs<TCustomFile>(o); }

// Frees the items taken out of a list, whole subtrees included, without
// recursing: the children of a directory that alone holds its list join the
// work list before the directory is freed, so a deep tree can't exhaust the
// stack. A directory sharing its list only lets go of it. An index walk
// keeps list order.
void FreeItems(std::vector<TObject*>& list) {
  std::vector<TObject*> work;
  work.swap(list);  // nothing freed below sees a half-walked list
  for (size_t i = 0; i < work.size(); ++i) {
    TObject* item = work[i];
    if (!IsItem(item)) continue;
    if (auto* dir = ItemAs<TCustomDirectory>(item); dir && dir->Children) {
      if (dir->Children.use_count() == 1) {
        work.insert(work.end(), dir->Children->begin(), dir->Children->end());
        dir->Children->clear();
      }
      dir->Children.reset();
    }
    delete item;
  }
}

void CopyDirectoryFields(const TCustomDirectory& from, TCustomDirectory& to) {
  to.Name = from.Name;
  to.Drive = from.Drive;
  to.Marked = from.Marked;
  to.DeletedState = from.DeletedState;
  to.DeletedCondition = from.DeletedCondition;
  to.Parent = from.Parent;
  // Taken before the old list goes: from may be one of its children.
  std::shared_ptr<TChildList> shared = from.Children;
  to.Children = std::move(shared);
}

}  // namespace

TChildList::~TChildList() { FreeItems(*this); }

TCustomDirectory::~TCustomDirectory() { Children.reset(); }

void TCustomDirectory::Assign(TObject* source) {
  if (auto* from = ItemAs<TCustomDirectory>(source); from && from != this) CopyDirectoryFields(*from, *this);
}

void TCustomDirectory::AssignTo(TObject* dest) {
  if (auto* to = ItemAs<TCustomDirectory>(dest); to && to != this) CopyDirectoryFields(*this, *to);
}

void TCustomDirectory::DeleteChildren() {
  if (Children) FreeItems(*Children);
}

AnsiString TCustomDirectory::GetPath(TCustomDirectory* base) { return DirectoryPath(this, base); }

bool TCustomDirectory::ChildIsSubDir() {
  if (!Children) return false;
  for (TObject* child : *Children)
    if (ItemAs<TCustomDirectory>(child)) return true;
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
