// $OrphanFiles, the program's own folder at an NTFS volume's root: records
// in use that no folder of the live tree reaches, and the deleted tree's
// "MFT n" folders (items whose folder's record is gone or reused) and
// nameless records.
#include "NtfsOrphans.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

std::unique_ptr<TNTFSDirectory> MakeOrphanFolder(TNTFSdrive& drive, TCustomDirectory* parent) {
  auto folder = std::make_unique<TNTFSDirectory>();
  folder->Drive = &drive;
  folder->Name = kOrphanFolderName;
  folder->MFTfileRef = kOrphanFolderRef;
  folder->Parent = parent;
  folder->Children = std::make_shared<TChildList>();
  return folder;
}

// An in-use base record with a name that the live tree does not hold.
struct Candidate {
  uint32_t number;
  uint64_t parent;  // record number of the folder its name is in
  std::vector<uint8_t> name;  // its file name value
  std::vector<uint8_t> data;  // its whole data attribute, when it has one
};

// The record numbers a folder's index names, under any kind of name.
std::unordered_set<uint64_t> IndexedIn(TNTFSdrive& drive, uint64_t folder) {
  std::unordered_set<uint64_t> out;
  TNTFSDirectory d;
  d.Drive = &drive;
  d.MFTfileRef = folder;
  d.ForEachNTFSDirEntry(
      [](uint64_t reference, const TFILENAME_ATTRIBUTE*, intptr_t data) {
        reinterpret_cast<std::unordered_set<uint64_t>*>(data)->insert(RecordNumberOf(reference));
        return true;
      },
      reinterpret_cast<intptr_t>(&out));
  return out;
}

}  // namespace

std::unique_ptr<TNTFSDirectory> FindLiveOrphans(TNTFSdrive& drive, const std::vector<bool>& reached) {
  auto folder = MakeOrphanFolder(drive, drive.RootDir.get());
  const std::vector<uint8_t> bitmap = drive.ReadMftBitmap();
  const uint64_t count = std::min<uint64_t>({reached.size(), uint64_t(bitmap.size()) * 8, 0x100000000ull});
  std::vector<uint32_t> numbers;
  for (uint64_t i = kLastSystemRecord + 1; i < count; ++i)
    if (!reached[i] && BitIsSet(bitmap.data(), i)) numbers.push_back(uint32_t(i));

  // Read together in batches: on a whole volume these are few, but a damaged
  // index can leave thousands out.
  std::vector<Candidate> candidates;
  const uint32_t size = drive.BytesPerFileRecord;
  constexpr size_t kBatch = 256;
  std::vector<uint8_t> batch(kBatch * size);
  std::unique_ptr<bool[]> ok(new bool[kBatch]);
  for (size_t from = 0; from < numbers.size(); from += kBatch) {
    const size_t n = std::min(kBatch, numbers.size() - from);
    drive.ReadFileRecords(numbers.data() + from, n, batch.data(), ok.get());
    for (size_t k = 0; k < n; ++k) {
      const uint8_t* record = batch.data() + k * size;
      const auto* h = reinterpret_cast<const TFILE_RECORD_HEADER*>(record);
      if (!ok[k] || !HasMagic(record, "FILE") || !(h->Flags & kRecordInUse) || RecordNumberOf(h->BaseFileRecord) != 0)
        continue;
      const TFILENAME_ATTRIBUTE* name = drive.FindAttributeFileName(record);
      if (!name) continue;
      const auto* bytes = reinterpret_cast<const uint8_t*>(name);
      Candidate c{numbers[from + k], RecordNumberOf(name->ParentDirectory),
                  std::vector<uint8_t>(bytes, bytes + kFileNameHeader + 2 * size_t(name->NameLength)), {}};
      drive.GatherAttribute(record, c.number, atData, nullptr, c.data);
      candidates.push_back(std::move(c));
    }
  }

  // A candidate goes to the top of $OrphanFiles unless the folder its name
  // is in lists it: then it is shown inside that folder when the folder is
  // an orphan too; or it is one a live folder holds under a name not listed
  // (--no-posix-names), or one of the system's own folders ($Extend) holds.
  // Orphan folders that list each other in a loop have their lowest record
  // at the top.
  std::unordered_map<uint64_t, size_t> byNumber;
  for (size_t i = 0; i < candidates.size(); ++i) byNumber[candidates[i].number] = i;
  std::unordered_map<uint64_t, std::unordered_set<uint64_t>> indexes;
  auto listedBy = [&](uint64_t folderRecord, uint64_t item) {
    auto at = indexes.find(folderRecord);
    if (at == indexes.end()) at = indexes.emplace(folderRecord, IndexedIn(drive, folderRecord)).first;
    return at->second.count(item) != 0;
  };
  constexpr size_t kTop = SIZE_MAX, kInside = SIZE_MAX - 1;
  std::vector<size_t> up(candidates.size());  // the orphan folder that lists it, kTop or kInside
  for (size_t i = 0; i < candidates.size(); ++i) {
    const uint64_t p = candidates[i].parent;
    const bool live = p == kMftRecordRoot || (p < reached.size() && reached[p]);
    const auto orphan = byNumber.find(p);
    if (p <= kLastSystemRecord && p != kMftRecordRoot)
      up[i] = kInside;
    else if (!(live || orphan != byNumber.end()) || !listedBy(p, candidates[i].number))
      up[i] = kTop;
    else
      up[i] = live ? kInside : orphan->second;
  }
  // Each chain of orphan folders is followed once: where it ends in a loop,
  // the loop's lowest record goes to the top.
  std::vector<uint8_t> state(candidates.size(), 0);  // 0 new, 1 on the way, 2 done
  for (size_t i = 0; i < candidates.size(); ++i) {
    std::vector<size_t> path;
    size_t x = i;
    while (x < candidates.size() && state[x] == 0) {
      state[x] = 1;
      path.push_back(x);
      x = up[x];
    }
    if (x < candidates.size() && state[x] == 1) {
      const auto loop = std::find(path.begin(), path.end(), x);
      const auto lowest = *std::min_element(loop, path.end(), [&](size_t a, size_t b) {
        return candidates[a].number < candidates[b].number;
      });
      up[lowest] = kTop;
    }
    for (size_t k : path) state[k] = 2;
  }
  for (size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    const bool top = up[i] == kTop;
    if (!top || drive.ItemBudget == 0) continue;
    --drive.ItemBudget;
    const auto* name = reinterpret_cast<const TFILENAME_ATTRIBUTE*>(c.name.data());
    TObject* item = folder->AddNTFSFile(c.number, name, nullptr, false);
    // The record's data attribute knows the size; the copy of it in the name
    // is kept up to date only in folder indexes.
    if (auto* f = ItemAs<TNTFSFile>(item); f && !c.data.empty()) {
      f->SizeDamaged = false;
      drive.SetFileSize(*f, reinterpret_cast<const TATTRIBUTE*>(c.data.data()));
    }
  }
  return folder;
}

void GatherDeletedOrphans(TNTFSdrive& drive) {
  TCustomDirectory* root = drive.DeletedTreeRoot.get();
  if (!root || !root->Children) return;
  auto folder = MakeOrphanFolder(drive, root);
  auto& top = *root->Children;
  const std::unordered_set<uint64_t> nameless(drive.NamelessRecords.begin(), drive.NamelessRecords.end());
  for (TObject* item : top)
    if (auto* d = ItemAs<TNTFSDirectory>(item); d && (d->DeletedState & 4)) {
      d->Parent = folder.get();
      folder->Children->push_back(d);
    } else if (auto* f = ItemAs<TNTFSFile>(item); f && nameless.count(RecordNumberOf(f->MFTfileRef))) {
      f->Parent = folder.get();
      folder->Children->push_back(f);
    }
  if (folder->Children->empty()) return;
  std::erase_if(top, [&](TObject* item) {
    return std::find(folder->Children->begin(), folder->Children->end(), item) != folder->Children->end();
  });
  top.push_back(folder.release());
}
