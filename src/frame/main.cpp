// kapsa: build, list and extract self-extracting archives.
#include <cstdlib>

#include "frame/startup.h"

int main(int argc, char **argv) { exit(kapsa::startup_main(argc, argv)); }
