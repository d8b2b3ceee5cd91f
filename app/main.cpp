#include <cstdlib>

#include "platform/appkit/NSApplication.h"

int main(int argc, char* argv[]) { exit(NSApplicationMain(argc, argv)); }
