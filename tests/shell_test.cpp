// Where post-install arguments join a command line: behind its last simple
// command, or nowhere; and what the shell then makes of them.
#include <gtest/gtest.h>

#include <string>

#include "extract/shell.h"
#include "support.h"

namespace {

using test::Result;

// Each line: the command, and the command with "$@" where the arguments
// go, or "" when they cannot go anywhere.
struct Case {
  const char *command;
  const char *joined;
};
const Case cases[] = {
    {"sh ./setup.sh", "sh ./setup.sh \"$@\""},
    {"sh ./setup.sh # runs the setup", "sh ./setup.sh \"$@\" # runs the setup"},
    {"sh ./setup.sh\n", "sh ./setup.sh \"$@\"\n"},
    {"cd app && sh setup.sh;", "cd app && sh setup.sh \"$@\";"},
    {"cd app; sh setup.sh &", "cd app; sh setup.sh \"$@\" &"},
    {"gen | sh -s", "gen | sh -s \"$@\""},
    {"sh -s <<'EOF'\necho \"$1\"\nEOF\n", "sh -s <<'EOF' \"$@\"\necho \"$1\"\nEOF\n"},
    {"sh -s <<-E > log\n\tx\n\tE", "sh -s <<-E > log \"$@\"\n\tx\n\tE"},
    {"echo 'a # b' \"c;d\" $(f \"e)\" ) `g;h` ${i:-j}",
     "echo 'a # b' \"c;d\" $(f \"e)\" ) `g;h` ${i:-j} \"$@\""},
    {"FOO=1 ./install 2>&1", "FOO=1 ./install 2>&1 \"$@\""},
    {"echo done fi", "echo done fi \"$@\""},
    {"a &&", ""},
    {"a ||\n", ""},
    {"a |", ""},
    {"if true; then x; fi", ""},
    {"for i in 1; do x; done", ""},
    {"{ a; b; }", ""},
    {"(a)", ""},
    {"FOO=1", ""},
    {"eval \"$CMD\"", ""},
    {"# only a comment", ""},
    {"echo 'open", ""},
    {"cat <<EOF\nnever ends", ""},
    {"a \\", ""},
};

TEST(Shell, ArgumentsJoinTheLastSimpleCommandOrNothing) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    std::string command = c.command;
    long at = kapsa::shell_args_position(c.command);
    std::string joined = at < 0 ? "" : command.substr(0, size_t(at)) + " \"$@\"" +
                                           command.substr(size_t(at));
    EXPECT_EQ(joined, c.joined);
  }
}

// The shell agrees: run with two awkward arguments, the joined lines hand
// them whole to the command they end in, and run neither.
TEST(Shell, TheShellTakesTheJoinedArgumentsAsArguments) {
  test::TempDir dir;
  const char *lines[] = {
      "printf '[%s]' # the arguments",
      "true && printf '[%s]'\n",
      "printf '[%s]';",
      "cat > /dev/null <<'EOF'\n$(touch ran)\nEOF\nprintf '[%s]'",
      "sh -c 'printf \"[%s]\" \"$@\"' sh <<EOF\nEOF\n",
  };
  for (const char *line : lines) {
    SCOPED_TRACE(line);
    std::string command = line;
    long at = kapsa::shell_args_position(line);
    ASSERT_GE(at, 0);
    std::string joined =
        command.substr(0, size_t(at)) + " \"$@\"" + command.substr(size_t(at));
    Result r = test::run("/bin/sh", {"-c", joined, "sh", "touch ran; x", "$(touch ran)"},
                         test::at(dir.path));
    EXPECT_EQ(r.out, "[touch ran; x][$(touch ran)]");
    EXPECT_FALSE(test::exists(dir / "ran"));
  }
}

}  // namespace
