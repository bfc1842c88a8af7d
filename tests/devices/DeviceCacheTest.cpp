#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "Devices.h"
#include "ImageDevice.h"
#include "Ldiskio.h"
#include "ScriptedSource.h"
#include "WinApi.h"

namespace {

constexpr uint32_t kSectors = 8192;
constexpr uint16_t kSectorSize = 512;
constexpr char kLetterA = 'Q';
constexpr char kLetterB = 'R';

// One source per letter for the whole run; B's bytes differ from A's.
const auto sourceA = std::make_shared<ScriptedSource>(uint64_t{kSectors} * kSectorSize, false, 0);
const auto sourceB = std::make_shared<ScriptedSource>(uint64_t{kSectors} * kSectorSize, false, 1);
const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new BoundSources({{kLetterA, sourceA}, {kLetterB, sourceB}}));

std::unique_ptr<TDevice> LogicalDevice(char letter, uint32_t lineSize) {
  auto dev = LetterDevice(letter);
  dev->CacheLineSize = lineSize;
  dev->UseCache(true);
  return dev;
}

// Sectors read, as [first, last] runs with adjacent chunks merged.
using Runs = std::vector<std::pair<uint64_t, uint64_t>>;
Runs SectorRuns(const std::vector<ScriptedSource::Call>& reads) {
  Runs runs;
  for (const auto& r : reads) {
    if (r.len == 0) continue;
    const uint64_t first = r.offset / kSectorSize, last = (r.offset + r.len - 1) / kSectorSize;
    if (!runs.empty() && runs.back().second + 1 == first)
      runs.back().second = last;
    else
      runs.emplace_back(first, last);
  }
  return runs;
}

::testing::AssertionResult Holds(const std::vector<uint8_t>& buf, uint32_t first, uint32_t count, uint8_t salt) {
  for (size_t i = 0; i < size_t{count} * kSectorSize; ++i)
    if (buf[i] != ScriptedSource::Pattern(uint64_t{first} * kSectorSize + i, salt))
      return ::testing::AssertionFailure() << "byte " << i << " from sector " << first << " differs";
  return ::testing::AssertionSuccess();
}

std::array<CacheLineState, kCacheLineCount> Lines() {
  return {GetCacheLineState(0), GetCacheLineState(1), GetCacheLineState(2), GetCacheLineState(3)};
}

class DeviceCache : public ::testing::Test {
 protected:
  void SetUp() override {
    DevicesInitialization();
    optCacheEnabled = true;
    for (auto* s : {sourceA.get(), sourceB.get()}) {
      s->failingSectors.clear();
      s->TakeReads();
    }
  }
  void TearDown() override {
    optCacheEnabled = false;
    SetCacheProbeClock({});
  }
  std::vector<uint8_t> buf = std::vector<uint8_t>(size_t{kSectors} * kSectorSize);
};

TEST_F(DeviceCache, EachSwitchOffReadsStraightThrough) {
  for (auto [global, device, lineSize] : {std::tuple{false, true, 64}, {true, false, 64}, {true, true, 0}}) {
    optCacheEnabled = global;
    auto dev = LogicalDevice(kLetterA, lineSize);
    dev->UseCache(device);
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(dev->ReadSec(5, 2, buf.data(), false));
      EXPECT_TRUE(Holds(buf, 5, 2, 0));
      EXPECT_EQ(SectorRuns(sourceA->TakeReads()), (Runs{{5, 6}}));
    }
    for (const auto& l : Lines()) EXPECT_EQ(l.owner, nullptr);
  }
}

TEST_F(DeviceCache, FillThenHitsComeFromTheLine) {
  auto dev = LogicalDevice(kLetterA, 64);
  ASSERT_TRUE(dev->ReadSec(10, 4, buf.data(), false));
  EXPECT_TRUE(Holds(buf, 10, 4, 0));
  EXPECT_EQ(SectorRuns(sourceA->TakeReads()), (Runs{{10, 73}}));
  EXPECT_EQ(GetCacheLineState(0).owner, dev.get());

  // Anywhere inside the line, up to its last sector, without touching the device.
  for (auto [s, n] : {std::pair{10, 1}, std::pair{40, 20}, std::pair{73, 1}, std::pair{10, 64}}) {
    std::fill(buf.begin(), buf.end(), 0);
    ASSERT_TRUE(dev->ReadSec(s, static_cast<uint16_t>(n), buf.data(), false));
    EXPECT_TRUE(Holds(buf, s, n, 0));
  }
  EXPECT_TRUE(dev->ReadSec(20, 0, nullptr, false));  // nothing asked, nothing copied
  EXPECT_TRUE(sourceA->TakeReads().empty());
  EXPECT_EQ(GetCacheLineState(0).usage, 15);  // never above 15

  // A request straddling the line's end fills from the first uncached sector.
  ASSERT_TRUE(dev->ReadSec(70, 10, buf.data(), false));
  EXPECT_TRUE(Holds(buf, 70, 10, 0));
  EXPECT_EQ(SectorRuns(sourceA->TakeReads()), (Runs{{74, 137}}));
  EXPECT_EQ(GetCacheLineState(1).first, 74u);

  // The device's end bounds a fill; running off it copies the cached part and fails at the device.
  ASSERT_TRUE(dev->ReadSec(kSectors - 10, 2, buf.data(), false));
  EXPECT_EQ(GetCacheLineState(2).first, kSectors - 10);
  EXPECT_EQ(GetCacheLineState(2).last, kSectors - 1);
  EXPECT_FALSE(dev->ReadSec(kSectors - 2, 4, buf.data(), false));
  // Starting at the end or before sector 0: straight to the device, which fails it; no line is made.
  EXPECT_FALSE(dev->ReadSec(kSectors, 1, buf.data(), false));
  EXPECT_FALSE(dev->ReadSec(-1, 1, buf.data(), false));
  EXPECT_EQ(GetCacheLineState(3).owner, nullptr);
}

TEST_F(DeviceCache, PiecesComeWholeFromALineOrFromTheSourceAndFillNone) {
  auto dev = LogicalDevice(kLetterA, 64);
  ASSERT_TRUE(dev->ReadSec(10, 4, buf.data(), false));  // line 0 holds 10..73
  sourceA->TakeReads();
  sourceA->failingSectors = {301};
  std::vector<uint8_t> out(8 * kSectorSize);
  TSectorPiece pieces[] = {{20, 2, &out[0]}, {100, 2, &out[1024]}, {73, 2, &out[2048]}, {300, 2, &out[3072]}};
  dev->ReadSecPieces(pieces, 4);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(pieces[i].ok) << i;
    EXPECT_TRUE(Holds(std::vector<uint8_t>(pieces[i].buffer, pieces[i].buffer + 1024), pieces[i].sector, 2, 0));
  }
  EXPECT_FALSE(pieces[3].ok);
  // The piece inside the line did not reach the source; one straddling its end did.
  EXPECT_EQ(SectorRuns(sourceA->TakeReads()), (Runs{{100, 101}, {73, 74}, {300, 301}}));
  for (int line = 1; line < kCacheLineCount; ++line) EXPECT_EQ(GetCacheLineState(line).owner, nullptr);
}

TEST_F(DeviceCache, AHitRaisesItsLineWhileTheOthersAge) {
  auto dev = LogicalDevice(kLetterA, 16);
  for (int i = 0; i < kCacheLineCount; ++i) ASSERT_TRUE(dev->ReadSec(i * 100, 1, buf.data(), false));
  const std::array<uint8_t, kCacheLineCount> before{5, 0, 15, 7}, after{4, 0, 14, 8};
  for (int i = 0; i < kCacheLineCount; ++i) SetCacheLineUsage(i, before[i]);
  ASSERT_TRUE(dev->ReadSec(305, 1, buf.data(), false));  // line 3
  for (int i = 0; i < kCacheLineCount; ++i) EXPECT_EQ(GetCacheLineState(i).usage, after[i]) << "line " << i;
}

TEST_F(DeviceCache, VictimIsTheLowestCounterLowestIndexFirst) {
  struct Case {
    std::array<uint8_t, 4> usage;  // before the missing lookup ages them all by one
    int victim;
  } const cases[] = {{{15, 15, 15, 15}, 0}, {{9, 4, 4, 12}, 1}, {{15, 15, 15, 14}, 3},
                     {{1, 0, 5, 5}, 0}};  // aged to 0 and 0: the lower index wins the tie
  auto dev = LogicalDevice(kLetterA, 16);
  for (const auto& c : cases) {
    DevicesInitialization();
    optCacheEnabled = true;
    for (int i = 0; i < kCacheLineCount; ++i) ASSERT_TRUE(dev->ReadSec(i * 100, 1, buf.data(), false));
    for (int i = 0; i < kCacheLineCount; ++i) SetCacheLineUsage(i, c.usage[i]);
    ASSERT_TRUE(dev->ReadSec(5000, 1, buf.data(), false));
    EXPECT_TRUE(Holds(buf, 5000, 1, 0));
    for (int i = 0; i < kCacheLineCount; ++i)
      EXPECT_EQ(GetCacheLineState(i).first, i == c.victim ? 5000u : uint32_t(i * 100)) << "line " << i;
    EXPECT_EQ(GetCacheLineState(c.victim).usage, 15);
  }
}

TEST_F(DeviceCache, InvalidationAndDestructionFreeOnlyTheirOwnLines) {
  auto a = LogicalDevice(kLetterA, 16);
  auto b = LogicalDevice(kLetterB, 16);
  for (uint32_t sector : {0, 100})
    for (auto* d : {a.get(), b.get()}) ASSERT_TRUE(d->ReadSec(sector, 1, buf.data(), false));
  a->InvalidateCache();
  const auto lines = Lines();
  EXPECT_EQ(lines[0].owner, nullptr);
  EXPECT_EQ(lines[2].owner, nullptr);
  EXPECT_EQ(lines[3].owner, b.get());

  sourceB->TakeReads();
  ASSERT_TRUE(b->ReadSec(5, 1, buf.data(), false));  // still cached
  EXPECT_TRUE(Holds(buf, 5, 1, 1));
  EXPECT_TRUE(sourceB->TakeReads().empty());

  b.reset();
  for (const auto& l : Lines()) EXPECT_EQ(l.owner, nullptr);
}

TEST_F(DeviceCache, FailedFillFallsBackToADirectReadAndKeepsTheVictim) {
  auto dev = LogicalDevice(kLetterA, 64);
  for (int i = 0; i < kCacheLineCount; ++i) ASSERT_TRUE(dev->ReadSec(i * 1000, 1, buf.data(), false));
  for (int i = 0; i < kCacheLineCount; ++i) SetCacheLineUsage(i, 15);
  const auto before = Lines();
  sourceA->failingSectors.insert(5050);  // inside the fill, outside the request
  ASSERT_TRUE(dev->ReadSec(5000, 2, buf.data(), false));
  EXPECT_TRUE(Holds(buf, 5000, 2, 0));
  const auto after = Lines();
  for (int i = 0; i < kCacheLineCount; ++i) EXPECT_EQ(after[i].first, before[i].first);
  // The victim's data survived the failed fill.
  sourceA->TakeReads();
  ASSERT_TRUE(dev->ReadSec(10, 50, buf.data(), false));
  EXPECT_TRUE(Holds(buf, 10, 50, 0));
  EXPECT_TRUE(sourceA->TakeReads().empty());

  sourceA->failingSectors.insert(7000);
  EXPECT_FALSE(dev->ReadSec(7000, 1, buf.data(), false));  // the direct read fails too
}

// A clock standing still for `reads` probe reads, then 100 ms later.
std::function<DWORD()> ClockAllowing(uint32_t reads, DWORD start = 1000) {
  auto calls = std::make_shared<uint32_t>(0);
  return [=] { return (*calls)++ <= reads ? start : start + 100; };
}

TEST_F(DeviceCache, DetectScalesWithProbeReadsUpToOneLine) {
  struct Case {
    const char* what;
    std::function<DWORD()> clock;
    uint32_t sectors, lineSize;
    int64_t failing = -1;  // a sector whose probe read fails
  };
  auto calls = std::make_shared<uint32_t>(0);
  const Case cases[] = {
      // Ten times the reads of the 100 ms window; 1 for one or none; never past one 2 MiB line.
      {"a device under 2048 sectors is not probed", ClockAllowing(30), 2047, 0},
      {"the first probe read fails", ClockAllowing(30), kSectors, 0, 0},
      {"a later probe read fails", ClockAllowing(30), kSectors, 0, 5},
      {"no read", ClockAllowing(0), kSectors, 1}, {"one read", ClockAllowing(1), kSectors, 1},
      {"two reads", ClockAllowing(2), kSectors, 20}, {"409 reads", ClockAllowing(409), kSectors, 4090},
      {"410 reads", ClockAllowing(410), kSectors, 4096},
      {"a clock that never moves stops at the device end", [] { return DWORD(5); }, 3000, 4096},
      {"t0 + 100 wraps past zero", [=] { const uint32_t n = (*calls)++; return DWORD(0xFFFFFFC0u + (n <= 30 ? n : 200)); },
       kSectors, 300},
  };
  for (const auto& c : cases) {
    auto dev = LogicalDevice(kLetterA, 77);
    dev->TotalSectors = c.sectors;
    sourceA->failingSectors.clear();
    if (c.failing >= 0) sourceA->failingSectors.insert(c.failing);
    SetCacheProbeClock(c.clock);
    dev->DetectCacheLineSize();
    EXPECT_EQ(dev->CacheLineSize, c.lineSize) << c.what;
    EXPECT_EQ(dev->CacheEnabled, c.sectors < 2048) << c.what;  // a probed device's host turns it on again
  }
}

}  // namespace
