// What saving tells the user when the source, the target file or the target
// folder fails it.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "FatTestImage.h"
#include "ScratchDir.h"

namespace {

TEST(FatSaveDialogs, EachFailureNamesWhatFailed) {
  FatImage img = FatImage::Make(2, 5000);
  img.Fill(10, 8, 1);
  img.Chain(10, 8);
  img.Short(0, 0, "DATA    BIN", faArchive, 10, 4096);
  img.Short(0, 1, "SUB        ", faDirectory, 30, 0);
  img.Chain(30, 1);
  img.Dots(30, 0);
  img.Short(30, 2, "INNER   TXT", faArchive, 0, 0);
  struct Case {
    const char* what;
    std::function<void(const std::string& dest)> breakIt;
    const char* item;
    std::string expected;
  };
  const Case cases[] = {
      {"source sector unreadable", [&](const std::string&) { Source().failingSectors.insert(img.FirstData() + 9); }, "DATA.BIN",
       "Could not read source file! (device: K:, start cluster: 10, size: 4096)"},
      {"target file cannot grow", [](const std::string&) {}, "DATA.BIN", "Could not write to the file "},
      {"a file stands where the folder goes", [](const std::string& d) { std::ofstream(d + "/SUB") << "x"; }, "SUB",
       "Could not create the folder "},
  };
  for (const Case& c : cases) {
    ScratchDir dest;
    MountedFat m(img);
    std::vector<std::string> texts;
    SetDialogHandler([&](const DialogRequest& r) { return texts.push_back(r.text), IDOK; });
    c.breakIt(dest.path());
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const bool limit = std::string(c.what) == "target file cannot grow";
    if (limit) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit tight = old;
      tight.rlim_cur = 1000;
      setrlimit(RLIMIT_FSIZE, &tight);
    }
    TObject* item = c.item == std::string("SUB") ? static_cast<TObject*>(m.Child<TFATDirectory>(m.Root(), c.item))
                                                 : m.Child<TFATFile>(m.Root(), c.item);
    m.drive->SaveItem(item, dest.path() + "/", 1);
    if (limit) {
      setrlimit(RLIMIT_FSIZE, &old);
      signal(SIGXFSZ, SIG_DFL);
    }
    SetDialogHandler(nullptr);
    Source().failingSectors.clear();
    ASSERT_FALSE(texts.empty()) << c.what;
    EXPECT_EQ(texts[0].rfind(c.expected, 0), 0u) << texts[0];
  }
}

}  // namespace
