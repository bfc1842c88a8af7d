/* Lists every file of an NTFS image through NtfsLib, one line per file: its
 * path from the volume root with "/" between names, a tab, its size.
 *
 *   ntfs_list IMAGE
 *
 * Plain C, built with nothing but the installed header and pkg-config:
 *   cc -std=c11 ntfs_list.c $(pkg-config --cflags --libs ntfslib) -pthread -o ntfs_list
 */
#include <moxvolscan/NtfsLib.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

/* What the scan thread tells main. */
struct scan {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  int finished;
  int aborted;
  unsigned long files;
};

/* UTF-16 to UTF-8 on stdout; "\" becomes "/". */
static void put_utf16(const NtfsLibChar* s) {
  for (; *s; ++s) {
    unsigned long c = *s;
    if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
      ++s;
    }
    if (c == '\\') c = '/';
    if (c < 0x80) {
      putchar((int)c);
    } else if (c < 0x800) {
      putchar((int)(0xC0 | (c >> 6)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      putchar((int)(0xE0 | (c >> 12)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    } else {
      putchar((int)(0xF0 | (c >> 18)));
      putchar((int)(0x80 | ((c >> 12) & 0x3F)));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    }
  }
}

static void NTFSLIB_CALL on_start(void* handle, void* user) {
  (void)handle;
  (void)user;
}

/* On the scan's thread, once per name of every file and folder. */
static void NTFSLIB_CALL on_item(void* handle, const NtfsLibFindData* item, void* user) {
  struct scan* scan = (struct scan*)user;
  NtfsLibChar* folder = NULL;
  (void)handle;
  if (item->dwFileAttributes & 0x10) return; /* a folder */
  if (NtfsLibGetItemPath(item, &folder) == NTFSLIB_OK) put_utf16(folder);
  free(folder);
  put_utf16(item->cFileName);
  printf("\t%llu\n", ((unsigned long long)item->nFileSizeHigh << 32) | item->nFileSizeLow);
  scan->files++;
}

static void NTFSLIB_CALL on_finish(void* handle, int32_t aborted, void* user) {
  struct scan* scan = (struct scan*)user;
  (void)handle;
  pthread_mutex_lock(&scan->lock);
  scan->finished = 1;
  scan->aborted = aborted != 0;
  pthread_cond_signal(&scan->changed);
  pthread_mutex_unlock(&scan->lock);
}

int main(int argc, char** argv) {
  struct scan scan = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0, 0};
  NtfsLibChar root[] = {0, ':', '\\', 0};
  void* handle;
  int32_t status;
  char letter;

  if (argc != 2) {
    fprintf(stderr, "usage: ntfs_list IMAGE\n");
    return 2;
  }
  /* The library reads volumes through drive letters: give one the image. */
  letter = NtfsLibFreeLetter();
  status = letter ? NtfsLibBindImage(letter, argv[1]) : NTFSLIB_E_LETTER;
  if (status != NTFSLIB_OK) {
    fprintf(stderr, "ntfs_list: %s: %s\n", argv[1], NtfsLibStatusText(status));
    return 1;
  }
  root[0] = (NtfsLibChar)letter;

  handle = NtfsLibCreate();
  if (!handle) {
    fprintf(stderr, "ntfs_list: out of memory\n");
    return 1;
  }
  NtfsLibSetStartCallback(handle, on_start, &scan);
  NtfsLibSetItemCallback(handle, on_item, &scan);
  NtfsLibSetFinishCallback(handle, on_finish, &scan);
  status = NtfsLibSetMountPoint(handle, root);
  if (status == NTFSLIB_OK) status = NtfsLibScanVolume(handle); /* returns at once */
  if (status == NTFSLIB_OK) {
    pthread_mutex_lock(&scan.lock);
    while (!scan.finished) pthread_cond_wait(&scan.changed, &scan.lock);
    pthread_mutex_unlock(&scan.lock);
  } else {
    fprintf(stderr, "ntfs_list: %s: %s\n", argv[1], NtfsLibStatusText(status));
  }
  NtfsLibDestroy(handle);
  NtfsLibUnbind(letter);
  return status == NTFSLIB_OK && !scan.aborted ? 0 : 1;
}
