#include "tools/networksetup/Journal.h"

#include <syslog.h>

namespace networksetup {

void noteInJournal(const std::string& line) {
  ::openlog("networksetup", LOG_PID, LOG_USER);
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  ::closelog();
}

}  // namespace networksetup
