// The module's entry points: units start at the first request and stop at the last.
#include <gtest/gtest.h>

#include <string>

#include "MoxVolScan.h"
#include "Ntfs.h"

TEST(ModuleEntryPoints, EachUnitStartsAtTheFirstRequestAndStopsAtTheLast) {
  Finalize();  // without a request this does nothing
  Initialize();
  ASSERT_NE(dbg, nullptr);
  EXPECT_EQ(NtfsIndexName, u"$I30");
  dbg->OnDebugOut = [](TObject*, const AnsiString&) {};
  optCacheEnabled = true;

  Initialize();  // second request: no unit runs its start-up again
  EXPECT_TRUE(optCacheEnabled);
  Finalize();  // first withdrawal: nothing stops yet
  EXPECT_TRUE(static_cast<bool>(dbg->OnDebugOut));
  EXPECT_EQ(NtfsIndexName, u"$I30");

  Finalize();  // last withdrawal: every unit stops
  EXPECT_FALSE(static_cast<bool>(dbg->OnDebugOut));
  EXPECT_FALSE(optCacheEnabled);
  EXPECT_TRUE(NtfsIndexName.empty());
}
