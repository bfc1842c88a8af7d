// The few POSIX calls the test suites use, on the Windows C runtime; built
// into every Windows test source so the suites compile unchanged.
#pragma once

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && std::getenv(name)) return 0;
  return _putenv_s(name, value);
}
inline int unsetenv(const char* name) { return _putenv_s(name, ""); }
inline void tzset() { _tzset(); }

// Fills the trailing XXXXXX and creates the folder; nullptr when it cannot.
inline char* mkdtemp(char* templ) {
  const size_t n = std::strlen(templ);
  if (n < 6) return nullptr;
  static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::minstd_rand next(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = n - 6; i < n; ++i) templ[i] = digits[next() % 36];
    std::error_code ec;
    if (std::filesystem::create_directory(templ, ec)) return templ;
  }
  return nullptr;
}

inline struct tm* gmtime_r(const time_t* t, struct tm* out) { return gmtime_s(out, t) == 0 ? out : nullptr; }
inline struct tm* localtime_r(const time_t* t, struct tm* out) { return localtime_s(out, t) == 0 ? out : nullptr; }
inline int symlink(const char* target, const char* link) {
  std::error_code ec;
  std::filesystem::create_symlink(target, link, ec);
  return ec ? -1 : 0;
}
