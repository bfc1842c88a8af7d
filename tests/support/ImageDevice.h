// An image file behind a free drive letter with a TDevice over that letter,
// the way the program opens an image; the letter is unbound again at the end.
#pragma once

#include <memory>
#include <string>

#include "Devices.h"

// A letter no binding holds, never the one handed out just before: Ldiskio
// keeps its volume handle open while the same drive number is read, so a
// letter rebound to another image would still read the old one.
char NextFreeLetter();
void StartModule();  // the unit initializations, once per test program

class ImageDevice {
 public:
  explicit ImageDevice(const std::string& image);  // starts the module once
  ~ImageDevice();
  ImageDevice(const ImageDevice&) = delete;
  ImageDevice& operator=(const ImageDevice&) = delete;

  TDevice* get() const { return device_.get(); }  // null when the image could not be bound
  char letter() const { return letter_; }

 private:
  char letter_ = 0;
  std::unique_ptr<TDevice> device_;
};
