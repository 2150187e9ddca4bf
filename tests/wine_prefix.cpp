// Runs the end-to-end cases under Wine in a Wine prefix of their own, made in
// a temporary folder before the first case, so that no case sees Wine's
// first-start messages and nothing of the user's own prefix is touched.
//
// The run is set by the environment: BRMARK_WINE_EXE, the brmark.exe under
// test, started with the Wine loader of its word size, and BRMARK_WINE_LOCALE,
// the Unix locale from which Wine takes its code pages (ja_JP.UTF-8 by
// default).
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e_support.h"

namespace brmark::testing {
namespace {

std::string program;
std::string loader;

std::string setting(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : otherwise;
}

// The machine field of a PE file's header: 0x14C for 32-bit x86, 0x8664 for
// x86-64; 0 when the file is not one.
unsigned pe_machine(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char header[64] = {};
  if (!file.read(reinterpret_cast<char*>(header), sizeof header) || header[0] != 'M' ||
      header[1] != 'Z') {
    return 0;
  }
  const unsigned long at = header[60] | header[61] << 8 | header[62] << 16 |
                           static_cast<unsigned long>(header[63]) << 24;
  unsigned char signature[6] = {};
  file.seekg(static_cast<std::streamoff>(at));
  if (!file.read(reinterpret_cast<char*>(signature), sizeof signature) ||
      std::memcmp(signature, "PE\0\0", 4) != 0) {
    return 0;
  }
  return signature[4] | signature[5] << 8U;
}

class WinePrefix : public ::testing::Environment {
 public:
  void SetUp() override {
    program = setting("BRMARK_WINE_EXE", BRMARK_WINE_DEFAULT_EXE);
    const std::string locale = setting("BRMARK_WINE_LOCALE", "ja_JP.UTF-8");
    const unsigned machine = pe_machine(program);
    ASSERT_TRUE(machine == 0x14C || machine == 0x8664) << program << " is no x86 Windows program";
    // A loader of the other word size restarts the program through start.exe,
    // and the process the tests signal would not be the program.
    loader = machine == 0x14C ? BRMARK_WINE32_LOADER : BRMARK_WINE64_LOADER;
    if (machine == 0x14C && !runs(loader + " --version")) {
      GTEST_SKIP() << "32-bit Wine cannot run here (no wine32:i386, or a kernel that runs no "
                      "32-bit code): the i686 program is not run";
    }
    ASSERT_NE(std::setlocale(LC_ALL, locale.c_str()), nullptr)
        << "the locale " << locale << " is missing: localedef -i "
        << locale.substr(0, locale.find('.')) << " -f UTF-8 " << locale;
    std::setlocale(LC_ALL, "C");
    setenv("LC_ALL", locale.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    const std::string prefix = folder_.path() + "/prefix";
    std::filesystem::create_directory(prefix);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    // One server for the whole run, started before anything else uses the
    // prefix: one started by a case's program would carry that case's limits
    // (a file-size limit crashes it).
    const std::string serve = std::string("'") + BRMARK_WINESERVER + "' --persistent";
    ASSERT_TRUE(runs(serve)) << serve;
    const std::string boot = "'" + loader + "' wineboot --init";
    ASSERT_TRUE(runs(boot)) << boot;
  }

  void TearDown() override {
    if (loader.empty()) return;
    const std::string stop = std::string("'") + BRMARK_WINESERVER + "' --kill";
    EXPECT_TRUE(runs(stop)) << stop;
  }

 private:
  static bool runs(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }

  TempDir folder_;
};

::testing::Environment* const wine_prefix =
    ::testing::AddGlobalTestEnvironment(new WinePrefix);  // owned by GoogleTest

// A 32-bit program sees SysWOW64 where the user names System32, unless it
// turns that redirection off; the name must mean the folder the user sees.
TEST(Wow64, NamesInSystem32MeanThatFolder) {
  if (pe_machine(program) != 0x14C) GTEST_SKIP() << "redirection applies to 32-bit programs only";
  const std::string system32 = setting("WINEPREFIX", "") + "/drive_c/windows/system32";
  const std::string name = "brmark-wow64-test.txt";
  write_file(system32 + "/" + name, "a\n");
  const RunResult result = run_brmark(system32, name + "\n");
  EXPECT_EQ(result.out, standard_output_for(text::CREATED));
  EXPECT_EQ(read_file(system32 + "/" + copy_name_of_typed(name)), "a<br>\r\n");
  std::filesystem::remove(system32 + "/" + name);
  std::filesystem::remove(system32 + "/" + copy_name_of_typed(name));
}

}  // namespace

const char* wine_program() {
  return program.c_str();
}

const char* wine_loader() {
  return loader.c_str();
}

// Wine's code pages follow the locale: Japanese 932, English 1252, and 65001
// for a locale without an ANSI code page of its own, such as Hindi.
unsigned wine_code_page() {
  const std::string locale = setting("BRMARK_WINE_LOCALE", "ja_JP.UTF-8");
  if (locale.rfind("ja_", 0) == 0) return 932;
  if (locale.rfind("en_", 0) == 0) return 1252;
  return 65001;
}

}  // namespace brmark::testing
