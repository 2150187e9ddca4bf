// Runs the pipe cases under Wine in a Wine prefix of their own, made in a
// temporary folder before the first case, so that no case sees Wine's
// first-start messages and nothing of the user's own prefix is touched.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e_support.h"

namespace brmark::testing {
namespace {

// Wine takes the ANSI code page from the locale: 932, as on a Japanese
// Windows, with names stored in UTF-8 on the Linux side.
constexpr char JAPANESE_LOCALE[] = "ja_JP.UTF-8";

class WinePrefix : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NE(std::setlocale(LC_ALL, JAPANESE_LOCALE), nullptr)
        << "the locale " << JAPANESE_LOCALE
        << " is missing: localedef -i ja_JP -f UTF-8 ja_JP.UTF-8";
    std::setlocale(LC_ALL, "C");
    setenv("LC_ALL", JAPANESE_LOCALE, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEPREFIX", (folder_.path() + "/prefix").c_str(), 1);
    const std::string boot =
        std::string("'") + BRMARK_LAUNCHER + "' wineboot --init >/dev/null 2>&1";
    ASSERT_EQ(std::system(boot.c_str()), 0) << boot;
  }

  void TearDown() override {
    const std::string stop = std::string("'") + BRMARK_WINESERVER + "' --kill";
    EXPECT_EQ(std::system(stop.c_str()), 0) << stop;
  }

 private:
  TempDir folder_;
};

::testing::Environment* const wine_prefix =
    ::testing::AddGlobalTestEnvironment(new WinePrefix);  // owned by GoogleTest

}  // namespace
}  // namespace brmark::testing
