#include "FatTestImage.h"

namespace {
const auto source = std::make_shared<ScriptedSource>();
const auto* const environment = ::testing::AddGlobalTestEnvironment(new BoundSources({{kFatLetter, source}}));
}  // namespace

ScriptedSource& Source() { return *source; }
