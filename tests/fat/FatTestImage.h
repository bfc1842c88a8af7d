// Byte-by-byte FAT image writer for corner cases no formatter makes, and a
// mounted drive on it built the way the raw FAT scanner builds one.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Devices.h"
#include "Diskfs.h"
#include "ImageDevice.h"
#include "Ldiskio.h"
#include "Pdiskio.h"
#include "ScriptedSource.h"
#include "WinApi.h"

constexpr char kFatLetter = 'K';
ScriptedSource& Source();  // the one source behind kFatLetter, for the whole run

// Little-endian pokes.
inline void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
inline void Put32(uint8_t* p, uint32_t v) { Put16(p, uint16_t(v)), Put16(p + 2, uint16_t(v >> 16)); }

// A FAT volume of a chosen cluster count, written field by field.
struct FatImage {
  uint16_t bps = 512;
  uint8_t spc = 1;
  uint16_t reserved = 1;
  uint8_t nfats = 2;
  uint16_t rootEntries = 0;
  uint32_t spf = 0, clusters = 0;
  int type = 0;
  std::vector<uint8_t> bytes;

  // type 1/2/3 decides the FAT layout; clusters the data area.
  static FatImage Make(int type, uint32_t clusters, uint8_t spc = 1, uint16_t bps = 512) {
    FatImage f{.bps = bps, .spc = spc, .rootEntries = uint16_t(type == 3 ? 0 : 64), .clusters = clusters, .type = type,
               .bytes = {}};
    const uint64_t fatBytes = type == 1 ? (uint64_t(clusters) + 2) * 3 / 2 + 2 : (uint64_t(clusters) + 2) * (type == 2 ? 2 : 4);
    f.spf = uint32_t((fatBytes + bps - 1) / bps);
    f.bytes.assign(size_t(f.TotalSectors()) * bps, 0);
    uint8_t* b = f.bytes.data();
    b[0] = 0xEB, b[1] = 0x3C, b[2] = 0x90, b[13] = spc, b[16] = f.nfats, b[21] = 0xF8, b[510] = 0x55, b[511] = 0xAA;
    std::memcpy(b + 3, "MOXTEST ", 8);
    Put16(b + 11, bps), Put16(b + 14, f.reserved), Put16(b + 17, f.rootEntries);
    if (f.TotalSectors() < 65536) Put16(b + 19, uint16_t(f.TotalSectors()));
    else Put32(b + 32, f.TotalSectors());
    if (type == 3) {
      Put32(b + 36, f.spf), Put32(b + 44, 2);
      std::memcpy(b + 71, "FAT32LABEL ", 11);
    } else {
      Put16(b + 22, uint16_t(f.spf));
      std::memcpy(b + 43, "FATLABEL   ", 11);
    }
    f.SetFAT(0, 0xFFFFFFF8), f.SetFAT(1, 0xFFFFFFFF);
    if (type == 3) f.SetFAT(2, 0x0FFFFFFF);  // root directory
    return f;
  }

  uint32_t RootDirSectors() const { return (rootEntries * 32u + bps - 1) / bps; }
  uint32_t RootStart() const { return reserved + nfats * spf; }
  uint32_t FirstData() const { return RootStart() + RootDirSectors(); }
  uint32_t TotalSectors() const { return FirstData() + clusters * spc; }
  uint8_t* Sector(uint32_t s) { return bytes.data() + size_t(s) * bps; }
  uint8_t* Cluster(uint32_t c) { return Sector(FirstData() + (c - 2) * spc); }

  // Writes the entry in every FAT copy.
  void SetFAT(uint32_t cluster, uint32_t value) {
    for (int k = 0; k < nfats; ++k) {
      uint8_t* fat = Sector(reserved + k * spf);
      if (type == 1) {
        uint8_t* p = fat + cluster + cluster / 2;
        uint16_t w = uint16_t(p[0] | (p[1] << 8));
        w = (cluster & 1) ? uint16_t((w & 0x000F) | ((value & 0xFFF) << 4)) : uint16_t((w & 0xF000) | (value & 0xFFF));
        Put16(p, w);
      } else if (type == 2) {
        Put16(fat + cluster * 2, uint16_t(value));
      } else {
        Put32(fat + cluster * 4, value);
      }
    }
  }
  uint32_t Eoc() const { return type == 1 ? 0xFFF : type == 2 ? 0xFFFF : 0x0FFFFFFF; }
  // A chain first..first+n-1 ending with an end mark.
  void Chain(uint32_t first, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) SetFAT(first + i, i + 1 == n ? Eoc() : first + i + 1);
  }

  // Record i of a directory: cluster 0 = the fixed root (FAT12/16), else a
  // directory whose clusters are consecutive from cluster.
  uint8_t* Record(uint32_t dirCluster, uint32_t i) {
    return (dirCluster == 0 ? Sector(RootStart()) : Cluster(dirCluster)) + i * 32;
  }

  // An 8.3 entry; name is 11 bytes, blank padded.
  uint8_t* Short(uint32_t dir, uint32_t i, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size,
                 uint16_t time = 0x6000, uint16_t date = 0x3A21) {
    uint8_t* r = Record(dir, i);
    std::memcpy(r, name11, 11);
    r[11] = attr;
    Put16(r + 20, uint16_t(cluster >> 16)), Put16(r + 22, time), Put16(r + 24, date), Put16(r + 26, uint16_t(cluster));
    Put32(r + 28, size);
    return r;
  }

  // A long name (ASCII) as its records followed by its short entry; returns
  // the number of records written.
  uint32_t Long(uint32_t dir, uint32_t i, const std::string& name, const char* short11, uint8_t attr, uint32_t cluster,
                uint32_t size) {
    const uint32_t n = uint32_t((name.size() + 12) / 13);
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + uint8_t(short11[i]));
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t part = n - k;  // last part first on disk
      uint8_t* r = Record(dir, i + k);
      r[0] = uint8_t(part | (k == 0 ? 0x40 : 0)), r[11] = 0x0F, r[13] = sum;
      static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
      for (int c = 0; c < 13; ++c) {
        const size_t at = (part - 1) * 13 + c;
        Put16(r + offs[c], at < name.size() ? uint8_t(name[at]) : at == name.size() ? 0 : 0xFFFF);
      }
    }
    Short(dir, i + n, short11, attr, cluster, size);
    return n + 1;
  }

  // A folder entry at record i of dir, its records in n clusters from cluster on, "." and ".." written.
  void Folder(uint32_t dir, uint32_t i, const char* name11, uint32_t cluster, uint32_t n = 1) {
    Short(dir, i, name11, faDirectory, cluster, 0);
    Chain(cluster, n);
    Dots(cluster, dir);
  }

  // "." and ".." records of a directory at cluster c.
  void Dots(uint32_t c, uint32_t parent) {
    Short(c, 0, ".          ", faDirectory, c, 0);
    Short(c, 1, "..         ", faDirectory, parent, 0);
  }

  void Fill(uint32_t cluster, uint32_t n, uint8_t salt) {
    uint8_t* p = Cluster(cluster);
    for (uint32_t i = 0; i < n * spc * bps; ++i) p[i] = uint8_t(i * 7 + i / 512 + salt);
  }
};

// The image put behind kFatLetter, a device on it (logical drive, letter
// number) and a FAT drive mounted on that.
struct MountedFat {
  std::unique_ptr<TDevice> device;
  std::unique_ptr<TFATdrive> drive;
  bool mounted = false;

  explicit MountedFat(const FatImage& img) {
    Source().SetImage(img.bytes);
    device = LetterDevice(kFatLetter);
    drive = std::make_unique<TFATdrive>();
    drive->Device = device.get();
    drive->TotalSectors = device->TotalSectors;
    mounted = drive->MountDrive(false);
  }
  TFATDirectory* Root() { return static_cast<TFATDirectory*>(drive->DeletedTreeRoot.get()); }
  // The children of a directory, built with the given flags.
  std::vector<TObject*> List(TFATDirectory* d, bool includeDeleted = true) {
    if (!d->Children) d->AddChildren(includeDeleted, false);
    return d->Children ? *d->Children : std::vector<TObject*>{};
  }
  template <typename T>
  T* Child(TFATDirectory* d, const std::string& display) {
    for (TObject* o : List(d)) {
      auto* t = dynamic_cast<T*>(o);
      if (t && ItemDisplayName(t) == display) return t;
    }
    return nullptr;
  }
};
