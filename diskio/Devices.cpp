// TDevice: absolute sectors of a logical drive or physical disk, with the
// read cache all devices share.
#include <algorithm>
#include <cstring>
#include <vector>

#include "Devices.h"
#include "Ldiskio.h"
#include "Pdiskio.h"
#include "WinApi.h"

namespace {

constexpr uint8_t kMaxUsage = 15;

struct CacheLine {
  TDevice* owner;
  uint8_t usage;
  uint32_t first;
  uint32_t last;
  uint8_t* data;
};

// Four lines plus a spare buffer, all static so the read path never
// allocates. A fill reads into the spare and swaps it with the victim's data
// only when the read succeeded, so a failed fill leaves the victim whole.
alignas(4096) uint8_t lineStorage[kCacheLineCount + 1][kCacheLineBytes];
CacheLine lines[kCacheLineCount] = {{nullptr, 0, 0, 0, lineStorage[0]},
                                    {nullptr, 0, 0, 0, lineStorage[1]},
                                    {nullptr, 0, 0, 0, lineStorage[2]},
                                    {nullptr, 0, 0, 0, lineStorage[3]}};
uint8_t* spareData = lineStorage[kCacheLineCount];

std::function<DWORD()> probeClock;

DWORD ProbeTicks() { return probeClock ? probeClock() : GetTickCount(); }

}  // namespace

// Called by the unit's initialization.
void MarkCacheLinesEmpty() {
  for (int i = 0; i < kCacheLineCount; ++i) {
    lines[i].owner = nullptr;
    lines[i].usage = 0;
  }
}

void SetCacheProbeClock(std::function<DWORD()> clock) { probeClock = std::move(clock); }

CacheLineState GetCacheLineState(int line) {
  if (line < 0 || line >= kCacheLineCount) return {};
  const CacheLine& l = lines[line];
  return {l.owner, l.usage, l.first, l.last};
}

void SetCacheLineUsage(int line, uint8_t usage) {
  if (line >= 0 && line < kCacheLineCount) lines[line].usage = std::min(usage, kMaxUsage);
}

TDevice::TDevice() = default;

TDevice::~TDevice() { InvalidateCache(); }

void TDevice::UseCache(bool on) { CacheEnabled = on; }

void TDevice::InvalidateCache() {
  for (CacheLine& l : lines) {
    if (l.owner != this) continue;
    l.owner = nullptr;
    l.usage = 0;
  }
}

namespace {

// Serves as much of the request as one line of dev holds, advancing the
// request past what it copied. Every other line ages by one; the line that
// serves gains one. True only when the whole request was served.
bool CacheLookup(TDevice* dev, uint32_t& sector, uint16_t& count, uint8_t*& buffer) {
  bool served = false;
  bool found = false;
  for (CacheLine& l : lines) {
    if (!found && l.owner == dev && l.first <= sector && sector <= l.last) {
      found = true;
      if (l.usage < kMaxUsage) ++l.usage;
      served = true;
      uint32_t m = count;
      if (uint64_t{sector} + count - 1 > l.last && count > 0) {
        m = l.last - sector + 1;
        served = false;
      }
      if (m > 0)
        std::memcpy(buffer, l.data + size_t{sector - l.first} * dev->BytesPerSector, size_t{m} * dev->BytesPerSector);
      if (!served) {
        sector += m;
        count = static_cast<uint16_t>(count - m);
        buffer += size_t{m} * dev->BytesPerSector;
      }
    } else if (l.usage > 0) {
      --l.usage;
    }
  }
  return served;
}

// The lowest counter wins, the lowest index breaks ties; all at 15 gives line 0.
int ChooseVictim() {
  int victim = 0;
  uint8_t best = kMaxUsage;
  for (int i = 0; i < kCacheLineCount; ++i) {
    if (lines[i].usage < best) {
      victim = i;
      best = lines[i].usage;
    }
  }
  return victim;
}

bool DirectRead(TDevice* dev, uint32_t sector, uint16_t count, void* buffer, bool showErrors) {
  switch (dev->Kind) {
    case 0:
      return ReadPhysicalSectors(dev->DriveNumber, sector, count, buffer, showErrors);
    case 1:
      return ReadLogicalSectors(dev->DriveNumber, sector, count, buffer);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);  // no such kind of device
      return false;
  }
}

}  // namespace

bool TDevice::ReadSec(int32_t sector, uint16_t count, void* buffer, bool showErrors) {
  uint32_t s = static_cast<uint32_t>(sector);
  auto* p = static_cast<uint8_t*>(buffer);
  if (TotalSectors && uint64_t{s} + count > TotalSectors) ++ReadsPastEnd;
  // A request starting at or past the device end goes straight to the back-end,
  // which fails it; a line of no sectors must never be made.
  if (!optCacheEnabled || !CacheEnabled || CacheLineSize == 0 || BytesPerSector == 0 || s >= TotalSectors)
    return DirectRead(this, s, count, p, showErrors);

  if (CacheLookup(this, s, count, p)) return true;
  if (s >= TotalSectors) return DirectRead(this, s, count, p, showErrors);

  CacheLine& victim = lines[ChooseVictim()];
  // A line never holds more than its 2 MiB, whatever CacheLineSize was set to.
  uint32_t n = std::min<uint32_t>({CacheLineSize, kCacheLineBytes / BytesPerSector, 0xFFFF});
  if (uint64_t{s} + n > TotalSectors) n = TotalSectors - s;
  if (n > 0 && DirectRead(this, s, static_cast<uint16_t>(n), spareData, showErrors)) {
    std::swap(victim.data, spareData);
    victim.owner = this;
    victim.usage = kMaxUsage;
    victim.first = s;
    victim.last = s + n - 1;
    if (CacheLookup(this, s, count, p)) return true;
  }
  return DirectRead(this, s, count, p, showErrors);
}

void TDevice::ReadSecPieces(TSectorPiece* pieces, size_t count) {
  // Kept between calls: a batch of fresh pages each time costs more than the reads.
  thread_local std::vector<TSectorPiece*> rest;
  thread_local std::vector<TSectorPiece> reads;
  rest.clear();
  for (size_t i = 0; i < count; ++i) {
    TSectorPiece& p = pieces[i];
    p.ok = false;
    if (TotalSectors && uint64_t{p.sector} + p.count > TotalSectors) ++ReadsPastEnd;
    if (optCacheEnabled && CacheEnabled && p.count > 0)
      for (const CacheLine& l : lines)
        if (l.owner == this && l.first <= p.sector && uint64_t{p.sector} + p.count - 1 <= l.last) {
          std::memcpy(p.buffer, l.data + size_t{p.sector - l.first} * BytesPerSector, size_t{p.count} * BytesPerSector);
          p.ok = true;
          break;
        }
    if (!p.ok) rest.push_back(&p);
  }
  if (Kind == 1) {
    reads.resize(rest.size());
    for (size_t i = 0; i < rest.size(); ++i) reads[i] = *rest[i];
    ReadLogicalSectorPieces(DriveNumber, reads.data(), reads.size());
    for (size_t i = 0; i < rest.size(); ++i) rest[i]->ok = reads[i].ok;
    return;
  }
  for (TSectorPiece* p : rest) {
    p->ok = true;
    for (uint32_t done = 0; p->ok && done < p->count; done += 0x8000) {
      const auto n = static_cast<uint16_t>(std::min<uint32_t>(p->count - done, 0x8000));
      p->ok = Kind == 0 && ReadPhysicalSectors(DriveNumber, p->sector + done, n, p->buffer + size_t{done} * BytesPerSector, false);
    }
  }
}

bool TDevice::WriteSec(int32_t sector, uint16_t count, const void* buffer, bool reserved, bool showErrors) {
  switch (Kind) {
    case 0:
      return WritePhysicalSectors(DriveNumber, static_cast<uint32_t>(sector), count, buffer, reserved, showErrors);
    case 1:
      return WriteLogicalSectors(DriveNumber, static_cast<uint32_t>(sector), count, buffer);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
  }
}

void TDevice::DetectCacheLineSize() {
  dbg->DebugOut("  DetectCacheLineSize (TDevice.DetectCacheLineSize)");
  if (TotalSectors < 2048) {
    CacheLineSize = 0;
    return;
  }
  std::vector<uint8_t> probe(std::max<size_t>(2048, BytesPerSector));
  UseCache(false);
  bool ok = ReadSec(0, 1, probe.data(), false);
  uint64_t reads = 0;
  if (ok) {
    const DWORD t0 = ProbeTicks();
    // Elapsed time in wrapping arithmetic keeps the probe right across the
    // tick counter's wrap. The probe stops at the device end: a device read
    // whole inside the window is simply fast, not faulty.
    while (ok && DWORD(ProbeTicks() - t0) < 100 && reads < TotalSectors) {
      ok = ReadSec(static_cast<int32_t>(reads), 1, probe.data(), false);
      ++reads;
    }
  }
  if (!ok) {
    CacheLineSize = 0;
    return;
  }
  uint64_t size = reads > 1 ? 10 * reads : 1;
  if (BytesPerSector != 0 && size * BytesPerSector > kCacheLineBytes) size = kCacheLineBytes / BytesPerSector;
  CacheLineSize = static_cast<uint32_t>(size);
}
