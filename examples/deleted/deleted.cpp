// Lists the deleted files and folders of a FAT or NTFS image with the
// library's verdict on each, and saves the deleted files into a folder when
// one is named:
//
//   deleted IMAGE [FOLDER]
//
// It goes the disk library's road: a drive letter bound to the image, device
// detection over the letters, the drive mounted from the volume's boot
// sector, a scan for deleted items, and SaveItem into a second letter bound
// to the folder. Names are printed as the volume holds them (8-bit text in
// the system code page, UTF-8 here): a deleted FAT 8.3 name keeps the
// deletion mark 0xE5 as its first byte.
#include <moxvolscan/DeviceList.h>
#include <moxvolscan/Diskfs.h>
#include <moxvolscan/MoxVolScan.h>
#include <moxvolscan/Ntfs.h>
#include <moxvolscan/WinApi.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const char* Verdict(uint8_t condition) {
  switch (condition) {
    case 1: return "likely intact";
    case 2: return "overwritten";
    default: return "unknown";
  }
}

// "Dir\Sub\" for the folder an item lies in, "" for the root.
std::string FolderOf(TCustomDirectory* parent) {
  std::string path = parent ? parent->GetPath(nullptr) : "";
  if (!path.empty() && path[0] == '\\') path.erase(0, 1);
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path;
}

// Binds a free letter; 0 when none is free.
char Bind(const DriveBinding& binding) {
  const char letter = FindFreeDriveLetter();
  return letter && MoxBindDriveLetter(letter, binding) ? letter : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: deleted IMAGE [FOLDER]\n");
    return 2;
  }
  Initialize();
  DriveBinding image;
  image.raw = OpenImageSource(argv[1]);  // read-only
  const char letter = image.raw ? Bind(image) : 0;
  if (!letter) {
    std::fprintf(stderr, "deleted: cannot open %s\n", argv[1]);
    return 1;
  }

  // Detection finds every bound letter; ours is the device with its number.
  TDeviceList devices;
  devices.DetectDevices(nullptr);  // no log; a handler gets the library's debug lines
  TDriveList drives;
  for (int i = 0; i < devices.count(); ++i)
    if (devices.GetDevice(i)->DriveNumber == letter - 'A' + 1) drives.DetectDrives(devices.GetDevice(i));
  TCustomDrive* drive = drives.count() ? drives.GetDrive(0) : nullptr;
  if (!drive || !drive->RootDir) {
    std::fprintf(stderr, "deleted: %s holds no FAT or NTFS volume\n", argv[1]);
    return 1;
  }

  // The scan calls OnFoundItem on this thread for every deleted item.
  std::vector<TCustomFile*> files;
  drive->OnFoundItem = [&](TObject*, TObject* item) {
    if (auto* file = dynamic_cast<TCustomFile*>(item); file && file->Deleted) {
      std::printf("file  %-13s %12lld  %s%s\n", Verdict(file->DeletedCondition), (long long)file->Size,
                  FolderOf(file->Parent).c_str(), file->Name.c_str());
      files.push_back(file);
    } else if (auto* dir = dynamic_cast<TCustomDirectory*>(item); dir && dir->DeletedState) {
      // A folder's verdict is that of what it holds.
      std::printf("dir   %-13s %12s  %s%s\n", dir->DeletedCondition ? Verdict(dir->DeletedCondition) : "-", "",
                  FolderOf(dir->Parent).c_str(), dir->Name.c_str());
    }
  };
  drive->ScanDrive("*", true, true);  // every name, deleted items only

  int failed = 0;
  if (argc == 3) {
    std::filesystem::create_directories(argv[2]);
    DriveBinding folder;
    folder.rootDir = std::filesystem::absolute(argv[2]).string();
    const char out = Bind(folder);
    const std::string dest = std::string(1, out) + ":\\";
    for (TCustomFile* file : files) {
      // FAT number 0: a deleted file's chain is gone, its clusters are read as contiguous.
      bool saved = false;
      if (auto* fat = dynamic_cast<TFATdrive*>(drive))
        saved = out && fat->SaveItem(file, dest, 0);
      else if (auto* ntfs = dynamic_cast<TNTFSdrive*>(drive))
        saved = out && ntfs->SaveItem(file, dest);
      if (!saved) {
        std::fprintf(stderr, "deleted: %s not saved\n", file->Name.c_str());
        ++failed;
      }
    }
    if (out) MoxUnbindDriveLetter(out);
  }
  drives.clear();  // drives before the devices they read
  devices.clear();
  MoxUnbindDriveLetter(letter);
  Finalize();
  return failed ? 1 : 0;
}
