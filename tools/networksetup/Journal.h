// The run's notes to syslog: what the desktop step did that is how the machine is rather than a
// fault of the run.
#pragma once

#include <string>

namespace networksetup {

// One line to syslog (LOG_USER, notice, ident "networksetup").
void noteInJournal(const std::string& line);

}  // namespace networksetup
