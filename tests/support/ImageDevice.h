// An image file behind a free drive letter with a TDevice over that letter,
// the way the program opens an image; the letter is unbound again at the end.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Devices.h"

// A letter no binding holds, never the one handed out just before: Ldiskio
// keeps its volume handle open while the same drive number is read, so a
// letter rebound to another image would still read the old one.
char NextFreeLetter();
void StartModule();  // the unit initializations, once per test program
// A logical device on a bound letter, as the program makes one; null when it has no volume.
std::unique_ptr<TDevice> LetterDevice(char letter);

// Collects dbg lines while alive.
struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    dbg->OnDebugOut = [this](TObject*, const AnsiString& m) { lines.push_back(m); };
  }
  ~LogCapture() { dbg->OnDebugOut = nullptr; }
  bool Has(const std::string& s) const { return std::find(lines.begin(), lines.end(), s) != lines.end(); }
};

class ImageDevice {
 public:
  // Starts the module once; a device is made only for a fixed or removable drive.
  explicit ImageDevice(const std::string& image, UINT driveType = DRIVE_FIXED, std::string fileSystem = {});
  ~ImageDevice();
  ImageDevice(const ImageDevice&) = delete;
  ImageDevice& operator=(const ImageDevice&) = delete;

  TDevice* get() const { return device_.get(); }  // null when the image could not be bound
  char letter() const { return letter_; }
  bool bound() const { return bound_; }
  std::u16string Root() const { return std::u16string(1, char16_t(letter_)) + u":\\"; }  // "X:\"

 private:
  char letter_ = 0;
  bool bound_ = false;
  std::unique_ptr<TDevice> device_;
};
