#include "tests/support/ProcessRun.h"

ProcessRun runProcess(const std::vector<std::string>& argv) {
  SubprocessOptions options;
  options.argv = argv;
  return runSubprocess(options);
}
