#include "ImageDevice.h"

#include <mutex>

#include "Ldiskio.h"
#include "MoxVolScan.h"
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

ImageDevice::ImageDevice(const std::string& image) {
  StartModule();
  auto raw = OpenImageSource(image);
  letter_ = NextFreeLetter();
  if (!raw || !letter_) return;
  DriveBinding binding;
  binding.raw = raw;
  if (!BindDriveLetter(letter_, binding)) return;
  const uint8_t number = uint8_t(letter_ - 'A' + 1);
  TLogDriveParams params{};
  if (!GetLogDriveParams(number, params)) return;
  device_ = std::make_unique<TDevice>();
  device_->Kind = 1;
  device_->DriveType = DRIVE_FIXED;
  device_->TotalSectors = params.TotalSectors;
  device_->BytesPerSector = uint16_t(params.BytesPerSector);
  device_->DriveNumber = number;
}

ImageDevice::~ImageDevice() {
  device_.reset();
  if (letter_) UnbindDriveLetter(letter_);
}
