// The operating-system calls the library makes, under the names and with the
// behaviour of the Windows calls they stand for, narrowed to the flags and
// codes the library uses. A Windows build swaps this layer for the real calls.
//
// Paths: "\\.\X:" opens letter X's raw source, "\\.\PhysicalDriveN" a bound
// disk; "X:\..." goes through the letter's root directory; a path starting
// with "/" is a host path. "\\?\" prefixes are accepted and "\" becomes "/".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "WinTypes.h"

// ---- Handles and errors (Handles.cpp) -------------------------------------------
BOOL CloseHandle(HANDLE h);

// The system's text for a last-error code, without the line end Windows
// adds. Only FORMAT_MESSAGE_FROM_SYSTEM (with or without IGNORE_INSERTS)
// into the caller's buffer; source, language and arguments are not used.
// Returns the characters written without the terminator; 0 and the last
// error ERROR_MR_MID_NOT_FOUND for an unknown code, ERROR_INSUFFICIENT_BUFFER
// when size cannot hold the text and its terminator.
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId, char* buffer, DWORD size,
                     void* arguments);

// ---- Files, volumes and devices (Files.cpp) --------------------------------------
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL ReadFile(HANDLE h, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);
// Many reads of one open file or device at once, each at its own byte
// offset; the file pointer stays where it was. Each piece tells what it got.
// FALSE only for a handle that cannot be read.
struct ReadPiece;
BOOL ReadFilePieces(HANDLE h, ReadPiece* pieces, size_t count);
// Low 32 bits in distance, high 32 bits through distanceHigh (may be null).
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);
BOOL CreateDirectoryA(const char* path, void* security);
DWORD GetFileAttributesA(const char* path);
// Read-only becomes permissions; the other DOS bits are kept where a Linux
// user finds them (the user.DOSATTRIB extended attribute, as Samba keeps it).
BOOL SetFileAttributesA(const char* path, DWORD attributes);
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags);
BOOL DeleteFileA(const char* path);
// Paths through a letter bound to a folder are opened from that folder one
// name at a time and never through a symbolic link (the folder itself may be
// one): such a path fails with this code, and GetFileAttributesA describes a
// link as a file with FILE_ATTRIBUTE_REPARSE_POINT rather than what it points to.
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
constexpr DWORD ERROR_FILE_EXISTS = 80;

constexpr DWORD IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x00070000;
constexpr DWORD IOCTL_CDROM_GET_DRIVE_GEOMETRY = 0x0002404C;
constexpr DWORD IOCTL_STORAGE_CHECK_VERIFY = 0x002D4800;

enum MEDIA_TYPE : uint32_t { Unknown = 0, F5_1Pt2_512 = 1, F3_1Pt44_512 = 2, RemovableMedia = 11, FixedMedia = 12 };

struct DISK_GEOMETRY {
  int64_t Cylinders;
  uint32_t MediaType;
  DWORD TracksPerCylinder;
  DWORD SectorsPerTrack;
  DWORD BytesPerSector;
};
static_assert(sizeof(DISK_GEOMETRY) == 24);

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                     void* overlapped);

UINT GetDriveTypeA(const char* rootPath);
BOOL GetVolumeInformationA(const char* rootPath, char* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, char* fileSystemName,
                           DWORD fileSystemNameSize);
BOOL GetVolumeInformationW(const WCHAR* rootPath, WCHAR* volumeName, DWORD volumeNameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, WCHAR* fileSystemName,
                           DWORD fileSystemNameSize);
BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters);

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
BOOL GetVersionExA(OSVERSIONINFOA* info);

DWORD GetTickCount();

constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_RELEASE = 0x8000;
constexpr DWORD PAGE_READWRITE = 0x04;
void* VirtualAlloc(void* address, size_t size, DWORD allocationType, DWORD protect);
BOOL VirtualFree(void* address, size_t size, DWORD freeType);

// ---- Directory walking (Find.cpp) -------------------------------------------------
HANDLE FindFirstFileW(const WCHAR* pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE search);

constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;
UINT SetErrorMode(UINT mode);

// ---- Time (Time.cpp) ----------------------------------------------------------------
// FILETIME counts 100 ns since 1601-01-01; local time follows TZ.
BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, FILETIME* ft);
BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* fatDate, WORD* fatTime);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);

// ---- Code pages and case (Strings.cpp) ------------------------------------------------
// On Linux CP_ACP is UTF-8; invalid bytes become U+FFFD, so conversion of
// non-empty input never fails for lack of validity, only for lack of room. On
// Windows these are the system's calls with its ANSI code page.
constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* src, int srcLen, WCHAR* dst, int dstLen);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* src, int srcLen, char* dst, int dstLen,
                        const char* defaultChar, BOOL* usedDefault);
char* CharUpperA(char* text);   // in place; returns text
WCHAR* CharUpperW(WCHAR* text);
// Convenience over the two conversions.
WideString AnsiToWide(const AnsiString& s);
AnsiString WideToAnsi(const WideString& s);
// Host names are UTF-8 on both systems. Lossless: bytes that are not UTF-8
// travel as U+DC80..U+DCFF.
WideString HostNameToWide(const char* name, size_t len);
AnsiString WideToHostName(const WCHAR* s, size_t len);

// ---- Threads and locks (Threads.cpp) ----------------------------------------------------
constexpr DWORD CREATE_SUSPENDED = 0x4;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
using TThreadFunc = int (*)(void* parameter);
// Delphi's BeginThread over the platform's CreateThread.
HANDLE BeginThread(void* security, size_t stackSize, TThreadFunc func, void* parameter, DWORD creationFlags,
                   DWORD* threadId);
DWORD ResumeThread(HANDLE thread);
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
DWORD GetCurrentThreadId();
void Sleep(DWORD milliseconds);

// Recursive: the owning thread may enter again.
struct CRITICAL_SECTION {
  void* impl = nullptr;
};
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void EnterCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// The scan thread's attempt to read every folder: raises CAP_DAC_READ_SEARCH
// for the calling thread where the process may; failure is ignored.
void EnableBackupPrivilegeForThread();

// ---- User interaction (Dialogs.cpp) ---------------------------------------------------------
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONASTERISK = 0x40;
constexpr int IDOK = 1;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDALL = 8;  // mrAll of the message dialogs

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8, mbAbort = 16, mbRetry = 32, mbIgnore = 64, mbAll = 128 };

int MessageBoxA(void* owner, const char* text, const char* caption, UINT type);
// Returns IDYES, IDNO, IDALL, IDOK ...
int MessageDlg(const AnsiString& text, TMsgDlgType type, unsigned buttons);

// The host's handler for both. Without one, on Linux the library answers for
// the user, safely and silently: Abort/Retry/Ignore -> Abort, Yes/No/All ->
// No, OK -> OK. On Windows the system's message box asks where a person can
// see it (Yes/No/All offers Yes and No), with the same silent answer where no
// one can (a service, no display).
struct DialogRequest {
  AnsiString text;
  AnsiString caption;        // empty for message dialogs
  TMsgDlgType type;          // mtCustom for message boxes
  unsigned buttons;          // TMsgDlgBtn bits
  // A dialog made from a numbered string: its number and its arguments in
  // the string's order, as texts. Hosts show text; programs that act on the
  // dialog read these, which stay put when a text is reworded.
  int stringId = 0;
  std::vector<AnsiString> args;
  int secondId = 0;          // a question's string after the two line breaks
};
using DialogHandler = std::function<int(const DialogRequest&)>;
void SetDialogHandler(DialogHandler handler);  // empty restores the default

// Texts the library loads by number (1711..1721); "" for unknown numbers.
AnsiString LoadStr(int id);
// The host's own texts for the numbered strings (an empty answer falls back
// to ours); empty restores ours. Each %s, %d or %lld takes the next argument.
void SetStringTable(std::function<AnsiString(int id)> table);
// Dialog of string id with args, then, when secondId is given, two carriage
// returns and that string as it stands.
int MessageDlgStr(int id, std::vector<AnsiString> args, TMsgDlgType type, unsigned buttons, int secondId = 0);
// A numbered string's text with its arguments put in, in order.
AnsiString FormatStr(const AnsiString& format, const std::vector<AnsiString>& args);

// One step of the host's message pump: on Windows at most one pending message
// of the calling thread is taken (PeekMessageA, PM_REMOVE) and dispatched;
// then the host's hook, if it set one, runs.
void SetMessagePumpHook(std::function<void()> hook);
void ProcessOneMessage();

// ---- Shell (Shell.cpp) ---------------------------------------------------------------
constexpr UINT SHGFI_TYPENAME = 0x400;
constexpr UINT SHGFI_SYSICONINDEX = 0x4000;
constexpr UINT SHGFI_USEFILEATTRIBUTES = 0x10;
struct SHFILEINFOA {
  void* hIcon;
  int iIcon;
  DWORD dwAttributes;
  char szDisplayName[MAX_PATH];
  char szTypeName[80];
};
// Only with SHGFI_USEFILEATTRIBUTES: what the shell shows for a name of that
// kind (the file need not exist). Windows asks its file-type registry. Linux
// has no such registry and answers as Windows does for a type nobody
// registered: "XYZ File" for "a.xyz", "File" without an extension, "File
// folder" for a folder, and no icon (iIcon -1). 0 on failure.
uintptr_t SHGetFileInfoA(const char* path, DWORD attributes, SHFILEINFOA* info, UINT size, UINT flags);
