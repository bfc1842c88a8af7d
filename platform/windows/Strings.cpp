// Code pages and upper case are the system's: the 8-bit code page is whatever
// ANSI code page Windows runs with.
#include "NativeSys.h"
#include "WinApi.h"

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, WCHAR* dst, int dstLen) {
  return native::MultiByteToWide(codePage, flags, src, srcLen, dst, dstLen);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefault) {
  int used = 0;
  const int n = native::WideToMultiByte(codePage, flags, src, srcLen, dst, dstLen, defaultChar,
                                        usedDefault ? &used : nullptr);
  if (usedDefault) *usedDefault = used ? TRUE : FALSE;
  return n;
}

WideString AnsiToWide(const AnsiString& s) {
  if (s.empty()) return {};
  WideString out(s.size(), u'\0');  // never more units than bytes
  const int n = native::MultiByteToWide(CP_ACP, 0, s.data(), int(s.size()), out.data(), int(out.size()));
  out.resize(n > 0 ? size_t(n) : 0);
  return out;
}

AnsiString WideToAnsi(const WideString& s) {
  if (s.empty()) return {};
  const int need = native::WideToMultiByte(CP_ACP, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
  if (need <= 0) return {};
  AnsiString out(size_t(need), '\0');
  native::WideToMultiByte(CP_ACP, 0, s.data(), int(s.size()), out.data(), need, nullptr, nullptr);
  return out;
}

char* CharUpperA(char* text) { return text ? native::UpperA(text) : text; }

WCHAR* CharUpperW(WCHAR* text) { return text ? native::UpperW(text) : text; }
