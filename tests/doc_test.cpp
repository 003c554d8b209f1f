// The manual page: every option documented, and it renders without warnings.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// Every example marked in the README ("<!-- example -->" before an indented
// block) and in the manual page (".\" example" before a .nf block) is run, in
// document order, in a fresh directory.  Paths outside it are adapted through
// the variable ROOT: /opt becomes $ROOT/opt and /usr/local/bin
// $ROOT/usr/local/bin, in the commands and in the files the examples show.
struct Example {
  std::vector<std::string> commands;                       // shell commands, in order
  std::vector<std::pair<std::string, std::string>> files;  // "$ cat f" blocks: f and its text
};

std::string adapt(const std::string &text) {
  static const std::regex outside("(^|[^A-Za-z0-9_.$-])/(opt|usr/local/bin)\\b");
  return std::regex_replace(text, outside, "$1$$ROOT/$2");
}

// The README's marked blocks: "$ " starts a command (a line ending in "\"
// goes on), other lines are its output; the output of "$ cat file" is the
// text of that file.
std::vector<Example> readme_examples(const std::string &text) {
  std::vector<Example> examples;
  std::istringstream in(text);
  std::string line;
  bool marked = false;
  while (std::getline(in, line)) {
    if (line == "<!-- example -->") {
      marked = true;
      examples.emplace_back();
      continue;
    }
    if (!marked) continue;
    if (line.empty()) continue;
    if (line.compare(0, 4, "    ") != 0) {
      marked = false;
      continue;
    }
    Example &e = examples.back();
    std::string body = line.substr(4);
    if (body.compare(0, 2, "$ ") == 0) {
      std::string command = body.substr(2);
      while (!command.empty() && command.back() == '\\' && std::getline(in, line))
        command += "\n" + line;
      if (command.compare(0, 4, "cat ") == 0)
        e.files.push_back({command.substr(4), ""});
      else
        e.commands.push_back(command);
    } else if (!e.files.empty() && e.commands.empty()) {
      e.files.back().second += body + "\n";
    }
  }
  return examples;
}

// The manual's marked .nf blocks, one command a line, roff escapes undone.
std::vector<Example> manual_examples(const std::string &text) {
  std::vector<Example> examples;
  std::istringstream in(text);
  std::string line;
  bool marked = false, inside = false;
  while (std::getline(in, line)) {
    if (line == ".\\\" example") {
      marked = true;
      examples.emplace_back();
    } else if (marked && line == ".nf") {
      inside = true;
    } else if (inside && line == ".fi") {
      inside = marked = false;
    } else if (inside) {
      std::string command;
      for (size_t i = 0; i < line.size(); i++) {
        if (line.compare(i, 2, "\\-") == 0 || line.compare(i, 2, "\\&") == 0) {
          if (line[i + 1] == '-') command += '-';
          i++;
        } else {
          command += line[i];
        }
      }
      examples.back().commands.push_back(command);
    }
  }
  return examples;
}

// Runs the examples of one document in dir; returns what failed.
std::string run_examples(const std::vector<Example> &examples, const test::TempDir &dir) {
  std::string kapsa_dir = test::kapsa_bin();
  kapsa_dir = kapsa_dir.substr(0, kapsa_dir.rfind('/'));
  test::RunOptions o = test::at(dir / "work");
  o.env = {{"ROOT", dir / "root"}, {"PATH", kapsa_dir + ":/usr/bin:/bin"}};
  o.input_devnull = true;
  std::string failed;
  for (const Example &e : examples) {
    for (const auto &[name, body] : e.files) {
      test::write_file(dir / "work/" + name, adapt(body), body.compare(0, 2, "#!") ? 0644 : 0755);
    }
    for (const std::string &command : e.commands) {
      test::Result r = test::sh(adapt(command), o);
      if (r.status != 0)
        failed += command + "\n  exited " + std::to_string(r.status) + ": " + r.err;
    }
  }
  return failed;
}

TEST(Documents, EveryMarkedExampleRuns) {
  struct Document {
    std::string path;
    std::vector<Example> (*examples)(const std::string &);
    std::string tree;  // the tree the examples pack, made beforehand
  } documents[] = {
      {KAPSA_SOURCE_DIR "/README.md", readme_examples, "myapp"},
      {KAPSA_SOURCE_DIR "/doc/kapsa.1", manual_examples, "app"},
  };
  for (const Document &d : documents) {
    std::vector<Example> examples = d.examples(test::read_file(d.path));
    size_t commands = 0;
    for (const Example &e : examples) commands += e.commands.size();
    EXPECT_GE(commands, 3u) << d.path << ": too few marked examples";
    test::TempDir dir;
    for (const std::string &sub :
         {"work/" + d.tree + "/bin", std::string("root/opt"), std::string("root/usr/local/bin")})
      ASSERT_EQ(test::sh("mkdir -p '" + dir / sub + "'").status, 0);
    test::write_file(dir / "work/" + d.tree + "/bin/" + d.tree, "#!/bin/sh\necho hello\n", 0755);
    test::write_file(dir / "work/" + d.tree + "/setup.sh", "echo set up\n", 0755);
    EXPECT_EQ(run_examples(examples, dir), "") << d.path;
  }
}

}  // namespace
