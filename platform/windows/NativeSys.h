// The Windows system services behind handles, threads, time, code pages,
// dialogs, the shell and the program's console, reached with plain C++ types
// only: the files that implement our API cannot include <windows.h>, whose
// names collide with ours. A failing call leaves the thread's last error as
// Windows set it. Handles are the system's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace native {

uint32_t LastError();
void SetLastErrorCode(uint32_t code);
// The system's text for an error code with its trailing line end removed;
// empty (and the last error set) when the system has none.
std::string SystemMessage(uint32_t code);
bool CloseNativeHandle(void* handle);

// A thread running func(parameter); exceptions end it quietly.
void* StartThread(size_t stackSize, int (*func)(void*), void* parameter, bool suspended, uint32_t* id);
uint32_t ResumeNativeThread(void* thread);
uint32_t WaitNative(void* handle, uint32_t milliseconds);
uint32_t CurrentThreadId();
void SleepFor(uint32_t milliseconds);

void* NewCriticalSection(uint32_t spinCount);
void EnterCriticalSection(void* cs);
bool TryEnterCriticalSection(void* cs);
void LeaveCriticalSection(void* cs);
void DeleteCriticalSection(void* cs);

void EnableBackupPrivilege();

// FILETIMEs as their 64-bit tick counts.
bool DosDateTimeToFileTime(uint16_t date, uint16_t time, uint64_t& ft);
bool FileTimeToDosDateTime(uint64_t ft, uint16_t& date, uint16_t& time);
bool UtcToLocal(uint64_t utc, uint64_t& local);
bool LocalToUtc(uint64_t local, uint64_t& utc);

int MultiByteToWide(uint32_t codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst, int dstLen);
int WideToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcLen, char* dst, int dstLen,
                    const char* defaultChar, int* usedDefault);
char* UpperA(char* text);
char16_t* UpperW(char16_t* text);

// Whether this process may show a window a person can answer: false on a
// window station nobody sees (a service).
bool CanShowWindows();
// MessageBoxA without an owner; 0 when no box could be shown.
int ShowMessageBox(const char* text, const char* caption, uint32_t type);
// Takes one pending message of the thread's queue and dispatches it.
void DispatchOneMessage();

// SHGetFileInfoA; info has the system's SHFILEINFOA layout.
uintptr_t ShellFileInfo(const char* path, uint32_t attributes, void* info, uint32_t size, uint32_t flags);

// The program's console and its command line.
std::vector<std::u16string> CommandLineArguments();
void UseBinaryStreams();
bool IsConsole(bool standardOutput);
void OnConsoleInterrupt(void (*handler)());
[[noreturn]] void ExitNow(int status);

// Host paths, UTF-16. The final path of what path names, links resolved,
// without a "\\?\" prefix; empty when it can't be opened.
std::u16string FinalPath(const char16_t* path);
// 0xFFFFFFFF when path names nothing.
uint32_t PathAttributes(const char16_t* path);
// The file system and volume name of the volume whose root or mount folder
// path is; false when path is neither.
bool VolumeMountedAt(const char16_t* path, std::u16string& fileSystem, std::u16string& volumeName);
bool MakeFolder(const char16_t* path);
bool RemoveFolder(const char16_t* path);

}  // namespace native
