// The Windows side of NativeSys.h: the only file of these services that sees
// <windows.h>.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "NativeSys.h"

namespace native {

uint32_t LastError() { return ::GetLastError(); }

void SetLastErrorCode(uint32_t code) { ::SetLastError(code); }

std::string SystemMessage(uint32_t code) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  if (n == 0 || !text) return {};
  std::string out(text, n);
  ::LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool CloseNativeHandle(void* handle) { return ::CloseHandle(handle) != 0; }

namespace {

struct ThreadStart {
  int (*func)(void*);
  void* parameter;
};

unsigned __stdcall ThreadEntry(void* arg) {
  const ThreadStart start = *static_cast<ThreadStart*>(arg);
  delete static_cast<ThreadStart*>(arg);
  try {
    return static_cast<unsigned>(start.func(start.parameter));
  } catch (...) {
    // An exception must not cross the thread's boundary; the thread just ends.
    return 0;
  }
}

}  // namespace

// _beginthreadex rather than CreateThread: the C runtime then sets up and frees
// its per-thread data for the thread.
void* StartThread(size_t stackSize, int (*func)(void*), void* parameter, bool suspended, uint32_t* id) {
  auto* start = new ThreadStart{func, parameter};
  unsigned threadId = 0;
  const uintptr_t h = ::_beginthreadex(nullptr, static_cast<unsigned>(stackSize), ThreadEntry, start,
                                       (suspended ? CREATE_SUSPENDED : 0) | STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
  if (h == 0) {
    delete start;
    return nullptr;
  }
  if (id) *id = threadId;
  return reinterpret_cast<void*>(h);
}

uint32_t ResumeNativeThread(void* thread) { return ::ResumeThread(thread); }

uint32_t WaitNative(void* handle, uint32_t milliseconds) { return ::WaitForSingleObject(handle, milliseconds); }

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

void SleepFor(uint32_t milliseconds) { ::Sleep(milliseconds); }

void* NewCriticalSection(uint32_t spinCount) {
  auto* cs = new CRITICAL_SECTION;
  if (!::InitializeCriticalSectionAndSpinCount(cs, spinCount)) {
    delete cs;
    return nullptr;
  }
  return cs;
}

void EnterCriticalSection(void* cs) { ::EnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs)); }

bool TryEnterCriticalSection(void* cs) { return ::TryEnterCriticalSection(static_cast<CRITICAL_SECTION*>(cs)) != 0; }

void LeaveCriticalSection(void* cs) { ::LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(cs)); }

void DeleteCriticalSection(void* cs) {
  ::DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(cs));
  delete static_cast<CRITICAL_SECTION*>(cs);
}

void EnableBackupPrivilege() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (::LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &privileges.Privileges[0].Luid))
    ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
  ::CloseHandle(token);
}

namespace {

FILETIME ToFileTime(uint64_t ticks) { return FILETIME{DWORD(ticks), DWORD(ticks >> 32)}; }

uint64_t Ticks(const FILETIME& ft) { return (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

// SYSTEMTIME keeps milliseconds; the ticks below them come back afterwards.
constexpr uint64_t kTicksPerMs = 10'000;

bool ThroughSystemTime(uint64_t in, uint64_t& out, BOOL(WINAPI* convert)(const TIME_ZONE_INFORMATION*,
                                                                         const SYSTEMTIME*, SYSTEMTIME*)) {
  const FILETIME ft = ToFileTime(in);
  SYSTEMTIME from, to;
  FILETIME result;
  if (!::FileTimeToSystemTime(&ft, &from) || !convert(nullptr, &from, &to) || !::SystemTimeToFileTime(&to, &result))
    return false;
  out = Ticks(result) + in % kTicksPerMs;
  return true;
}

}  // namespace

bool DosDateTimeToFileTime(uint16_t date, uint16_t time, uint64_t& ft) {
  FILETIME out;
  if (!::DosDateTimeToFileTime(date, time, &out)) return false;
  ft = Ticks(out);
  return true;
}

bool FileTimeToDosDateTime(uint64_t ft, uint16_t& date, uint16_t& time) {
  const FILETIME in = ToFileTime(ft);
  WORD d = 0, t = 0;
  if (!::FileTimeToDosDateTime(&in, &d, &t)) return false;
  date = d;
  time = t;
  return true;
}

// The zone's rule for that day, not today's offset as FileTimeToLocalFileTime
// takes it: a January time read in July must not come out an hour off.
bool UtcToLocal(uint64_t utc, uint64_t& local) { return ThroughSystemTime(utc, local, ::SystemTimeToTzSpecificLocalTime); }

bool LocalToUtc(uint64_t local, uint64_t& utc) { return ThroughSystemTime(local, utc, ::TzSpecificLocalTimeToSystemTime); }

int MultiByteToWide(uint32_t codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst, int dstLen) {
  return ::MultiByteToWideChar(codePage, flags, src, srcLen, reinterpret_cast<wchar_t*>(dst), dstLen);
}

int WideToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcLen, char* dst, int dstLen,
                    const char* defaultChar, int* usedDefault) {
  // UTF-8 (also as the process's ANSI code page) takes no default character
  // and refuses a place to say it used one.
  const UINT resolved = codePage == CP_ACP ? ::GetACP() : codePage == CP_OEMCP ? ::GetOEMCP() : codePage;
  const bool utf = resolved == CP_UTF8 || resolved == CP_UTF7;
  BOOL used = FALSE;
  const int n = ::WideCharToMultiByte(codePage, flags, reinterpret_cast<const wchar_t*>(src), srcLen, dst, dstLen,
                                      utf ? nullptr : defaultChar, utf || !usedDefault ? nullptr : &used);
  if (usedDefault) *usedDefault = used;
  return n;
}

char* UpperA(char* text) { return ::CharUpperA(text); }

char16_t* UpperW(char16_t* text) {
  return reinterpret_cast<char16_t*>(::CharUpperW(reinterpret_cast<wchar_t*>(text)));
}

bool CanShowWindows() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA station = ::GetProcessWindowStation();
  if (!station || !::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int ShowMessageBox(const char* text, const char* caption, uint32_t type) {
  const int answer = ::MessageBoxA(nullptr, text, caption, type);
  return answer > 0 ? answer : 0;
}

void DispatchOneMessage() {
  MSG message;
  if (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
}

uintptr_t ShellFileInfo(const char* path, uint32_t attributes, void* info, uint32_t size, uint32_t flags) {
  if (size != sizeof(SHFILEINFOA)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return ::SHGetFileInfoA(path, attributes, static_cast<SHFILEINFOA*>(info), size, flags);
}

std::vector<std::u16string> CommandLineArguments() {
  std::vector<std::u16string> args;
  int count = 0;
  wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!list) return args;
  for (int i = 0; i < count; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(list[i]));
  ::LocalFree(list);
  return args;
}

void UseBinaryStreams() {
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  // A console shows the UTF-8 we write and understands the progress line's
  // cursor controls.
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (::GetConsoleMode(err, &mode)) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

bool IsConsole(bool standardOutput) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(standardOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

void (*consoleHandler)() = nullptr;

BOOL WINAPI OnControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (consoleHandler) consoleHandler();
  return TRUE;
}

}  // namespace

// Windows runs the handler on a thread of its own, outside any signal
// context, so it may lock and wait.
void OnConsoleInterrupt(void (*handler)()) {
  consoleHandler = handler;
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

void ExitNow(int status) {
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(status));
}

std::u16string FinalPath(const char16_t* path) {
  HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t*>(path), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::wstring out(MAX_PATH, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), DWORD(out.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= out.size()) {
    out.resize(n);
    n = ::GetFinalPathNameByHandleW(h, out.data(), DWORD(out.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (n == 0 || n >= out.size()) {
    ::SetLastError(error);
    return {};
  }
  out.resize(n);
  if (out.rfind(L"\\\\?\\UNC\\", 0) == 0)
    out.replace(0, 8, L"\\\\");
  else if (out.rfind(L"\\\\?\\", 0) == 0)
    out.erase(0, 4);
  return std::u16string(reinterpret_cast<const char16_t*>(out.data()), out.size());
}

uint32_t PathAttributes(const char16_t* path) { return ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path)); }

bool VolumeMountedAt(const char16_t* path, std::u16string& fileSystem, std::u16string& volumeName) {
  std::wstring dir(reinterpret_cast<const wchar_t*>(path));
  if (dir.empty()) return false;
  if (dir.back() != L'\\') dir += L'\\';
  wchar_t root[MAX_PATH + 1], name[MAX_PATH + 1], system[MAX_PATH + 1];
  if (!::GetVolumePathNameW(dir.c_str(), root, MAX_PATH + 1) || ::lstrcmpiW(root, dir.c_str()) != 0) return false;
  if (!::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1)) return false;
  if (!::GetVolumeNameForVolumeMountPointW(root, name, MAX_PATH + 1)) return false;
  fileSystem = reinterpret_cast<const char16_t*>(system);
  volumeName = reinterpret_cast<const char16_t*>(name);
  return true;
}

bool MakeFolder(const char16_t* path) { return ::CreateDirectoryW(reinterpret_cast<const wchar_t*>(path), nullptr); }

bool RemoveFolder(const char16_t* path) { return ::RemoveDirectoryW(reinterpret_cast<const wchar_t*>(path)); }

}  // namespace native
