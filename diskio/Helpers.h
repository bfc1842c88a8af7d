// Unit Helpers: DOS date/time and number formatting, hex and binary
// conversions, byte comparison, small text and path routines, the free-space
// query and one step of the message pump.
//
// Routines returning a "short string" give at most 255 characters; a longer
// result is cut. Short-string arguments are read up to 255 characters too.
//
// The shell's icon index and type name come from SHGetFileInfoA (see WinApi.h
// for what Linux answers); the system image list is not offered, as it
// belongs to the host's icon library.
#pragma once

#include <cstdint>

#include "WinTypes.h"

constexpr size_t kShortStringMax = 255;

// ---- Dates and numbers ------------------------------------------------------
AnsiString fsTimeDate2Str(uint16_t time, uint16_t date);  // "DD.MM.YYYY hh:mm"
AnsiString fsDate2Str(uint16_t date);                      // "DD.MM.YYYY"
AnsiString LongWordToStr(uint32_t value);

// ---- Hex and binary -----------------------------------------------------------
AnsiString Byte2Hex(uint8_t value);   // "AB"
AnsiString Word2Hex(uint16_t value);  // "1234"
AnsiString Byte2Bin(uint8_t value);   // most significant bit first
AnsiString Word2Bin(uint16_t value);
// The first character is bit 0 (the opposite order from Word2Bin); only "1"
// sets a bit; at most 16 characters are read.
uint16_t Bin2Word(const AnsiString& bits);
// n bytes as a little-endian number: byte 0 gives the last two digits. n <= 127.
AnsiString Data2Hex(const void* data, int n);
// Inverse of Data2Hex: writes length div 2 bytes; a pair that is not two hex
// digits gives 0; with an odd length the first character is ignored.
void Hex2Data(const AnsiString& hex, void* dest);
// Low byte of each code unit up to a 0 unit or maxCount units; no conversion.
AnsiString Unicode2ASCII(const WCHAR* text, int maxCount);

// ---- Comparison and text -----------------------------------------------------------
// True when the first length(s) bytes at data equal s; an empty s is equal.
bool IsDataEqual(const void* data, const AnsiString& s);
// Number of differing positions among n >= 1 bytes; 0 means equal.
uint32_t BytesEqual(const void* a, const void* b, uint32_t n);
// "\\" -> "\", "\n" -> CR (13); a backslash before anything else drops both;
// a trailing lone backslash is kept as it is.
AnsiString ConvertFmtString(const AnsiString& s);
AnsiString replace(const AnsiString& s, char oldChar, char newChar);
// The next line from pos (below end) without its line end; pos moves past the
// CR LF pair. A lone CR or a lone LF also ends a line. pos never passes end.
AnsiString GetNextTextLine(const char*& pos, const char* end);

// Wildcard match of Name against Mask with OneChar matching one character and
// AnyRun any run (also empty); letters compare case-insensitively, as FAT and NTFS
// names do. Flag is accepted for the caller's signature and not used.
bool MatchWildCard(const AnsiString& Name, const AnsiString& Mask, char OneChar = '?', char AnyRun = '*',
                   bool Flag = false);
// A display name made safe as one component of a host path: "/", "\", NUL and
// control characters become "_", and ".", ".." or an empty name become
// underscores, so a name from the volume never leaves the destination folder.
AnsiString MakeSafeFileName(const AnsiString& Name);

// ---- Paths, free space, platform ------------------------------------------------------
// Drops directories after the first backslash, left to right, until the path
// fits into maxLen characters: "C:\...\Tool\file.txt".
AnsiString AbbreviatePath(const AnsiString& path, int maxLen);
AnsiString GetRootPath(const AnsiString& path);  // "X:\" for a non-empty path
AnsiString ExtractFileNameFaster(const AnsiString& path);
// Free bytes of the volume at rootPath ("X:\"); 0 when the query fails.
// Saturates at 0xFFFFFFFF: more than 4 GiB - 1 free can't be told apart.
uint32_t NewDiskFree(const AnsiString& rootPath);
bool IsWinNT();
// What the shell shows for a name of that kind; the file need not exist.
// The system image list's icon index (-1 where there is none, 0 when the
// query fails).
int ShellGetIconIndex(const AnsiString& path, DWORD attributes);
// The same, also setting the type name ("Text Document", "XYZ File").
int ShellGetFileInfo(const AnsiString& path, DWORD attributes, AnsiString& typeName);
// Only the type name; false with typeName left alone when the query fails.
bool ShellGetFileType(const AnsiString& path, DWORD attributes, AnsiString& typeName);
// Dispatches at most one pending message of the host's pump; returns at once otherwise.
void KeepWindowsAlive();
