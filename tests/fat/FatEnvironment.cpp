// The disk units started once for the suite, one memory source bound to the
// test letter for the whole run.
#include "FatTestImage.h"

namespace {
std::shared_ptr<MemorySource> source;

class FatUnits : public ::testing::Environment {
 public:
  void SetUp() override {
    PdiskioInitialization();
    LdiskioInitialization();
    DevicesInitialization();
    source = std::make_shared<MemorySource>();
    DriveBinding b;
    b.raw = source;
    ASSERT_TRUE(BindDriveLetter(kFatLetter, b));
  }
  void TearDown() override {
    DevicesFinalization();
    LdiskioFinalization();
    PdiskioFinalization();
    UnbindDriveLetter(kFatLetter);
    source.reset();
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new FatUnits);
}  // namespace

MemorySource& Source() { return *source; }
