// The module's entry points: units start once and stop once, in fixed order.
#include <gtest/gtest.h>

#include <string>

#include "Devices.h"
#include "Ldiskio.h"
#include "MoxVolScan.h"
#include "Ntfs.h"
#include "Pdiskio.h"

TEST(ModuleEntryPoints, EachUnitStartsAtTheFirstRequestAndStopsAtTheLast) {
  const TPackageInfoTable* table = GetPackageInfoTable();
  // Started in this order and stopped in the reverse one: each unit needs the ones before it.
  const TPackageUnitEntry order[] = {{"Pdiskio", PdiskioInitialization, PdiskioFinalization},
                                     {"Ldiskio", LdiskioInitialization, LdiskioFinalization},
                                     {"Ntfs", NtfsInitialization, NtfsFinalization},
                                     {"Devices", DevicesInitialization, DevicesFinalization}};
  ASSERT_EQ(table->UnitCount, 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(table->UnitInfo[i].Name, order[i].Name);
    EXPECT_EQ(table->UnitInfo[i].Init, order[i].Init) << order[i].Name;
    EXPECT_EQ(table->UnitInfo[i].FInit, order[i].FInit) << order[i].Name;
  }
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
