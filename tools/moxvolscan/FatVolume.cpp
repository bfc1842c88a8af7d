#include "FatVolume.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "CliSupport.h"
#include "Ldiskio.h"
#include "Volumes.h"
#include "WinApi.h"

FatVolume::~FatVolume() {
  drive_.reset();
  device_.reset();
  if (letter_) UnbindDriveLetter(letter_);
}

bool FatVolume::Open(const std::string& hostPath, std::string& error) {
  letter_ = BindHostPath(hostPath, error);
  if (!letter_) return false;
  const uint8_t number = uint8_t(letter_ - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(number, params)) {
    error = hostPath + ": cannot read the volume's geometry";
    return false;
  }
  device_ = std::make_unique<TDevice>();
  device_->Kind = 1;
  device_->DriveType = uint8_t(DRIVE_FIXED);
  device_->MediaAttr = (params.Removable & 1) ? 1 : 0;
  device_->TotalSectors = params.TotalSectors;
  device_->BytesPerSector = uint16_t(params.BytesPerSector);
  device_->DriveNumber = number;
  device_->Text = hostPath;
  drive_ = std::make_unique<TFATdrive>();
  drive_->Device = device_.get();
  drive_->TotalSectors = device_->TotalSectors;
  if (!drive_->MountDrive(false)) {
    error = hostPath + ": not a FAT volume this program can read";
    return false;
  }
  return true;
}

void FatVolume::UseSectorCache(uint32_t lineSectors) {
  optCacheEnabled = true;
  device_->CacheLineSize = lineSectors;
  device_->UseCache(true);
}

namespace {

AnsiString FoldCase(AnsiString s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

AnsiString DisplayName(TObject* item) {
  if (auto* f = dynamic_cast<TFATFile*>(item)) return ReplaceDeletedChar(f->Name, f->LongName);
  if (auto* d = dynamic_cast<TFATDirectory*>(item)) return ReplaceDeletedChar(d->Name, d->LongName);
  return "";
}

}  // namespace

bool IsDeletedItem(TObject* item) {
  if (auto* f = dynamic_cast<TFATFile*>(item)) return f->Deleted;
  if (auto* d = dynamic_cast<TFATDirectory*>(item)) return d->DeletedState & 1;
  return false;
}

TObject* FatVolume::Resolve(const std::string& volumePath, std::string& error) {
  // The tree ScanDrive walks, so ls and cat/save see the same items.
  auto* dir = dynamic_cast<TFATDirectory*>(drive_->DeletedTreeRoot.get());
  TObject* item = dir;
  std::string rest = volumePath;
  for (char& c : rest)
    if (c == '\\') c = '/';
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t slash = rest.find('/', pos);
    std::string part = rest.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? rest.size() + 1 : slash + 1;
    if (part.empty() || part == ".") continue;
    if (!dir) {
      error = volumePath + ": not a folder on the way";
      return nullptr;
    }
    if (!dir->Children) dir->AddChildren(true, false);
    TObject* best = nullptr;
    int bestRank = 0;
    const AnsiString folded = FoldCase(part);
    if (dir->Children)
      for (TObject* child : *dir->Children) {
        AnsiString name = DisplayName(child);
        int rank = name == part ? 4 : FoldCase(name) == folded ? 2 : 0;
        if (rank && !IsDeletedItem(child)) ++rank;
        if (rank > bestRank) best = child, bestRank = rank;
      }
    if (!best) {
      error = volumePath + ": no such file or folder on the volume";
      return nullptr;
    }
    item = best;
    dir = dynamic_cast<TFATDirectory*>(best);
  }
  return item;
}

void ItemDescriber::Describe(TObject* item, ItemFacts& facts) {
  TCustomDirectory* folder = nullptr;
  const AnsiString* name = nullptr;
  bool longName = false;
  uint16_t date = 0, time = 0;
  if (auto* f = dynamic_cast<TFATFile*>(item)) {
    folder = f->Parent, name = &f->Name, longName = f->LongName;
    facts.dir = false;
    facts.size = uint64_t(f->Size);
    facts.attributes = f->Attributes;
    facts.deleted = f->Deleted;
    facts.condition = f->DeletedCondition;
    date = f->Date, time = f->Time;
  } else if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
    folder = d->Parent, name = &d->Name, longName = d->LongName;
    facts.dir = true;
    facts.size = 0;
    facts.attributes = uint8_t(FILE_ATTRIBUTE_DIRECTORY);
    facts.deleted = d->DeletedState & 1;
    facts.condition = d->DeletedCondition;
    date = d->Date, time = d->Time;
  }
  if (folder != folder_) {
    folder_ = folder;
    // GetPath gives "\A\B" for a folder below the root and "" for the root.
    folderPath_ = folder ? folder->GetPath(nullptr) : "";
    for (char& c : folderPath_)
      if (c == '\\') c = '/';
    if (!folderPath_.empty() && folderPath_[0] == '/') folderPath_.erase(0, 1);
    if (!folderPath_.empty()) folderPath_ += '/';
  }
  // The strings keep their room from item to item: a listing of a big
  // volume then allocates almost nothing per line.
  facts.path.assign(folderPath_);
  if (name) facts.path += ReplaceDeletedChar(*name, longName);
  // FAT times are local times and are shown as they stand, as the scanner passes them on.
  facts.mtime.clear();
  FILETIME ft{};
  if (DosDateTimeToFileTime(date, time, &ft)) AppendFileTimeIso(facts.mtime, ft);
}

void AppendItemLine(std::string& out, const ItemFacts& f) {
  char attrs[5] = "----";
  if (f.attributes & FILE_ATTRIBUTE_READONLY) attrs[0] = 'R';
  if (f.attributes & FILE_ATTRIBUTE_HIDDEN) attrs[1] = 'H';
  if (f.attributes & FILE_ATTRIBUTE_SYSTEM) attrs[2] = 'S';
  if (f.attributes & FILE_ATTRIBUTE_ARCHIVE) attrs[3] = 'A';
  const char* state = !f.deleted ? "" : f.condition == 1 ? "deleted:intact" : f.condition == 2 ? "deleted:reused" : "deleted";
  char head[128];
  int n = std::snprintf(head, sizeof head, "%-4s %12llu  %-20s  %s  %-14s  ", f.dir ? "dir" : "file",
                        (unsigned long long)f.size, f.mtime.empty() ? "-" : f.mtime.c_str(), attrs, state);
  out.append(head, size_t(std::max(n, 0)));
  out += f.path;
  out += '\n';
}

void AppendItemJson(std::string& out, const ItemFacts& f) {
  out += "{\"path\":\"";
  AppendJsonEscaped(out, f.path.data(), f.path.size());
  out += f.dir ? "\",\"type\":\"dir\",\"size\":" : "\",\"type\":\"file\",\"size\":";
  out += std::to_string(f.size);
  out += f.mtime.empty() ? ",\"mtime\":null" : ",\"mtime\":\"" + f.mtime + "\"";
  out += ",\"attributes\":" + std::to_string(f.attributes);
  out += f.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
  out += ",\"condition\":" + std::to_string(f.condition) + "}\n";
}

int ChooseFATNumber(TFATdrive& drive, TObject* item, const std::string& fatOption, std::string& error) {
  if (fatOption.empty()) return IsDeletedItem(item) ? 0 : 1;
  char* end = nullptr;
  long n = std::strtol(fatOption.c_str(), &end, 10);
  const long copies = drive.BootSec.NumberOfFATs;
  if (*end || n < 0 || n > copies) {
    error = "--fat takes 0 (contiguous clusters) or a FAT copy from 1 to " + std::to_string(copies);
    return -1;
  }
  return int(n);
}
