// A host program of the installed library: binds a drive letter to a folder
// or a FAT image, scans it through the factory and prints the file count.
#include <moxvolscan/MoxVolScan.h>
#include <moxvolscan/MoxVolumeScanner.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <future>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: host FOLDER|FAT-IMAGE\n");
    return 2;
  }
  Initialize();
  DriveBinding binding;
  const std::filesystem::path path = std::filesystem::absolute(argv[1]);
  if (std::filesystem::is_directory(path))
    binding.rootDir = path;  // walked folder by folder
  else
    binding.raw = OpenImageSource(path);  // read sector by sector
  const char letter = FindFreeDriveLetter();
  if (!MoxBindDriveLetter(letter, binding)) return 1;

  std::atomic<long> files{0};
  std::promise<bool> finished;
  auto callbacks = MoxCreateVolumeScannerCallbacks(
      nullptr,  // no OnStart; the other two run on the scan's thread
      [&](IMoxVolumeScanner*, const WIN32_FIND_DATAW&) { ++files; },
      [&](IMoxVolumeScanner*, bool aborted) { finished.set_value(aborted); });
  // vsaAuto: the raw reader the volume's file system calls for, else the walk.
  auto scanner = MoxCreateVolumeScanner(WideString(1, letter) + u":\\", callbacks, vsaAuto);
  if (!scanner || !scanner->ScanVolume()) {
    std::fprintf(stderr, "host: cannot scan %s\n", argv[1]);
    return 1;
  }
  const bool aborted = finished.get_future().get();
  std::printf("%ld files\n", files.load());

  scanner.reset();  // the last reference: waits for the scan's thread to end
  MoxUnbindDriveLetter(letter);
  Finalize();
  return aborted ? 1 : 0;
}
