#include "ImageDevice.h"

#include <mutex>

#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "ScriptedSource.h"
#include "Volumes.h"

char NextFreeLetter() {
  static std::mutex lock;
  static char next = 'Y';
  std::lock_guard<std::mutex> guard(lock);
  for (int tries = 0; tries < 26; ++tries) {
    char c = next;
    next = next <= 'D' ? 'Y' : char(next - 1);
    if (!GetDriveBinding(c)) return c;
  }
  return 0;
}

void StartModule() {
  static std::once_flag started;
  std::call_once(started, [] { Initialize(); });
}

ImageDevice::ImageDevice(const std::string& image, UINT driveType, std::string fileSystem) {
  StartModule();
  auto raw = OpenImageSource(image);
  letter_ = NextFreeLetter();
  if (!raw || !letter_) return;
  bound_ = BindDriveLetter(letter_, DriveBinding{{}, raw, driveType, 512, std::move(fileSystem)});
  if (!bound_ || (driveType != DRIVE_FIXED && driveType != DRIVE_REMOVABLE)) return;
  device_ = LetterDevice(letter_);
  if (device_) device_->DriveType = driveType;
}

std::unique_ptr<TDevice> LetterDevice(char letter) {
  const uint8_t number = uint8_t(letter - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(number, params)) return nullptr;
  auto device = std::make_unique<TDevice>();
  device->Kind = 1;
  device->DriveType = DRIVE_FIXED;
  device->TotalSectors = params.TotalSectors;
  device->BytesPerSector = uint16_t(params.BytesPerSector);
  device->DriveNumber = number;
  device->Text = std::string(1, letter) + ":";
  return device;
}

ImageDevice::~ImageDevice() {
  device_.reset();
  if (letter_) UnbindDriveLetter(letter_);
}

void BoundSources::SetUp() {
  StartModule();
  for (auto& [letter, source] : bindings_) ASSERT_TRUE(BindDriveLetter(letter, DriveBinding{{}, source, DRIVE_FIXED, 512, {}}));
}

void BoundSources::TearDown() {
  for (auto& binding : bindings_) UnbindDriveLetter(binding.first);
}
