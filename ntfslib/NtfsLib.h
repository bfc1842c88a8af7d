/* NtfsLib: lists every file of an NTFS volume by reading its MFT raw.
 *
 * A C interface: nine functions drive a scan, a few more give drive letters
 * their volumes (see the end). A handle scans one volume, named by its
 * root ("X:\" or "\\?\X:\"); the volume is read through the drive letter's raw
 * source ("\\.\X:"). NtfsLibScanVolume returns at once; the scan then runs on
 * a thread of its own, which calls the start callback once, the item callback
 * once per name of every file and folder, and the finish callback once.
 *
 * Every function that returns a status returns NTFSLIB_OK (0) on success,
 * else one of the NTFSLIB_E_ codes (NtfsLibStatusText gives its text).
 * Callbacks must not throw.
 *
 * Threads: any function may be called from any thread, several at once.
 * After NtfsLibScanVolume returned OK, start and finish come exactly once
 * each, in that order, even for a scan aborted before it began, unless the
 * handle is destroyed from one of its own callbacks: then no callback follows
 * the one running. A handle destroyed from its callback while other threads
 * wait in NtfsLibAbortScan or NtfsLibDestroy on it is freed once the scan
 * thread has unwound and the last of those calls has returned; as with any
 * free, no thread may begin a new call on a handle it may have destroyed.
 */
#ifndef NTFSLIB_H
#define NTFSLIB_H

#include <stdint.h>

#include "MoxVolScanVersion.h"

#define NTFSLIB_VERSION MOXVOLSCAN_VERSION

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define NTFSLIB_CALL __stdcall
#else
#define NTFSLIB_CALL
#endif
#if defined(_WIN32) && defined(NTFSLIB_BUILDING)
#define NTFSLIB_API __declspec(dllexport)
#elif defined(_WIN32)
#define NTFSLIB_API __declspec(dllimport)
#else
#define NTFSLIB_API __attribute__((visibility("default")))
#endif

typedef char16_t NtfsLibChar; /* UTF-16 code unit */

/* Layout of the platform's WIN32_FIND_DATAW (592 bytes). */
typedef struct NtfsLibFindData {
  uint32_t dwFileAttributes;
  uint32_t ftCreationTime[2];   /* FILETIME: low, high */
  uint32_t ftLastAccessTime[2];
  uint32_t ftLastWriteTime[2];
  uint32_t nFileSizeHigh;
  uint32_t nFileSizeLow;
  uint32_t dwReserved0;         /* the MFT record number */
  uint32_t dwReserved1;
  NtfsLibChar cFileName[260];
  NtfsLibChar cAlternateFileName[14];
} NtfsLibFindData;

enum {
  NTFSLIB_OK = 0,
  NTFSLIB_E_HANDLE = 1,       /* null handle or argument */
  NTFSLIB_E_MOUNTPOINT = 2,   /* not a volume root, or no raw source behind it */
  NTFSLIB_E_NOT_NTFS = 3,     /* the volume's boot sector is not a usable NTFS one */
  NTFSLIB_E_NO_VOLUME = 4,    /* no mount point accepted yet */
  NTFSLIB_E_SCAN_THREAD = 5,  /* called from the scan's own thread, which cannot wait for itself */
  NTFSLIB_E_THREAD = 6,       /* the scan thread could not be started */
  NTFSLIB_E_NO_ITEM = 7,      /* not the item being reported on this thread */
  NTFSLIB_E_BUSY = 8,         /* a scan of this handle is still running */
  NTFSLIB_E_LETTER = 9,       /* not a drive letter 'A'..'Z' (either case) */
  NTFSLIB_E_OPEN = 10,        /* the folder, image or device cannot be opened */
  NTFSLIB_E_PARTITION = 11    /* the disk has no partition of that number */
};

typedef void(NTFSLIB_CALL* NtfsLibStartCallback)(void* handle, void* user);
typedef void(NTFSLIB_CALL* NtfsLibItemCallback)(void* handle, const NtfsLibFindData* item, void* user);
/* aborted: non-zero when the scan ended because of NtfsLibAbortScan, and
 * also when it could not cover the whole volume: the MFT could not be
 * loaded, or part of it could not be read (items may then be missing). */
typedef void(NTFSLIB_CALL* NtfsLibFinishCallback)(void* handle, int32_t aborted, void* user);

NTFSLIB_API void* NTFSLIB_CALL NtfsLibCreate(void);
/* Stops a running scan and waits for it; no callback arrives after it
 * returns. From inside a callback it only stops the scan, which makes no
 * further call and frees the handle as it unwinds. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibDestroy(void* handle);
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibSetStartCallback(void* handle, NtfsLibStartCallback callback, void* user);
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibSetItemCallback(void* handle, NtfsLibItemCallback callback, void* user);
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibSetFinishCallback(void* handle, NtfsLibFinishCallback callback, void* user);
/* Accepts a volume root whose raw source holds an NTFS boot sector; the text is copied. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibSetMountPoint(void* handle, const NtfsLibChar* mountPoint);
/* Starts a scan; fails while one of this handle still runs. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibScanVolume(void* handle);
/* Stops the running scan and waits for its thread; OK when none runs. From
 * inside a callback it only asks the scan to stop and fails. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibAbortScan(void* handle);
/* Inside the item callback, for the item it received: *path becomes the
 * item's folder relative to the volume root ("" or "Dir\Sub\"), zero
 * terminated, allocated with malloc; the caller frees it with free. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibGetItemPath(const NtfsLibFindData* item, NtfsLibChar** path);

/* Drive letters. A volume is read through its drive letter, and a letter is
 * given a volume by these calls (or by the module's MoxBindDriveLetter: the
 * letters are one namespace for the whole process). letter is 'A'..'Z' in
 * either case; paths are host paths. Binding a bound letter replaces what it
 * had; a handle that accepted the letter keeps reading what it found there
 * until its mount point is set again. Z: is bound to "/" from the start.
 * They may be called from any thread. */
/* A folder: its files by their names (for a folder where an NTFS volume is
 * mounted, the mount's block device is the raw source, where it can be read). */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindFolder(char letter, const char* folder);
/* An image file or a block device, read-only. */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindImage(char letter, const char* path);
/* Partition number partition of a disk image or device, numbered as Linux
 * numbers them (MBR 1-4, logical partitions from 5, GPT entries from 1). */
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibBindPartition(char letter, const char* disk, uint32_t partition);
NTFSLIB_API int32_t NTFSLIB_CALL NtfsLibUnbind(char letter);
/* The highest unbound letter from 'Y' down, 0 when none is free. */
NTFSLIB_API char NTFSLIB_CALL NtfsLibFreeLetter(void);

/* A short English text for a status, never null. */
NTFSLIB_API const char* NTFSLIB_CALL NtfsLibStatusText(int32_t status);
/* The version of the library the program runs with ("0.1.0"); compare with
 * NTFSLIB_VERSION, the version of this header. */
NTFSLIB_API const char* NTFSLIB_CALL NtfsLibVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* NTFSLIB_H */
