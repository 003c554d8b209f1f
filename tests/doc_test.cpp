// The manual page: every option documented, and it renders without warnings.
#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace {

const std::string manual = KAPSA_SOURCE_DIR "/doc/kapsa.1";

TEST(Manual, DocumentsEveryOptionOfBothModes) {
  std::string page = test::read_file(manual);
  size_t options = page.find(".SH OPTIONS");
  size_t build = page.find(".SS \"Build mode", options);
  size_t extract = page.find(".SS \"Extract mode", build);
  size_t end = page.find(".SH ", extract);
  ASSERT_NE(end, std::string::npos);
  std::string build_part = page.substr(build, extract - build);
  std::string extract_part = page.substr(extract, end - extract);
  for (char c : std::string("h?ucvxnlapCrfVSt")) {
    std::string option = std::string("\\-") + c;
    EXPECT_NE(build_part.find(option), std::string::npos) << "build mode lacks -" << c;
    EXPECT_NE(extract_part.find(option), std::string::npos) << "extract mode lacks -" << c;
  }
  for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "\"FEATURE LIST\"",
                              "\"EXTRACT AND POST-INSTALL COMMANDS\"", "\"EXIT STATUS\"", "FILES",
                              "ENVIRONMENT", "EXAMPLES", "\"SEE ALSO\""})
    EXPECT_NE(page.find(std::string(".SH ") + section + "\n"), std::string::npos) << section;
  for (const char *key : {"NOCOMPR", "VFYFS=", "FSSUB=", "NAME="})
    EXPECT_NE(page.find(key), std::string::npos) << key;
}

TEST(Manual, RendersWithoutWarnings) {
  if (test::sh("command -v man && command -v groff").status != 0)
    GTEST_SKIP() << "man or groff is not installed";
  test::Result r = test::sh("man --warnings -l '" + manual + "' > /dev/null");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
