#include "tools/networksetup/DesktopStep.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/Files.h"

namespace networksetup {

namespace {

using Clock = std::chrono::steady_clock;

// Report: "<outcome><message>\n" then a state property list carrying the records under uid 0.
std::string encodeReport(const std::string& name, const StepReport& report) {
  std::string message = report.message;
  std::replace(message.begin(), message.end(), '\n', ' ');
  NetworkState carrier;
  if (report.own) carrier.desktopSaved[0][name] = *report.own;
  if (report.carried) carrier.desktopCarried[0][name] = *report.carried;
  return static_cast<char>(report.outcome) + message + "\n" + encodeStatePlist(carrier);
}

std::optional<StepReport> decodeReport(const std::string& name, const std::string& bytes) {
  const size_t end = bytes.find('\n');
  if (end == std::string::npos || end == 0) return std::nullopt;
  StepReport report;
  report.outcome = static_cast<StepOutcome>(bytes[0]);
  report.message = bytes.substr(1, end - 1);
  auto carrier = decodeStatePlist(std::string_view(bytes).substr(end + 1));
  if (!carrier) return std::nullopt;
  if (auto own = carrier->desktopSaved[0].find(name); own != carrier->desktopSaved[0].end()) report.own = own->second;
  if (auto carried = carrier->desktopCarried[0].find(name); carried != carrier->desktopCarried[0].end()) {
    report.carried = carried->second;
  }
  return report;
}

}  // namespace

posix::Expected<StepChild> startStep(const std::string& name, const std::function<StepReport()>& step,
                                     const std::function<void(const StepReport&)>& afterwards) {
  posix::Expected<posix::Pipe> channel = posix::openPipe(posix::PipeBlocking::NonBlocking);
  if (!channel) return channel.error();
  std::fflush(nullptr);
  const int reportEnd = channel->write.get();
  posix::Expected<posix::SupervisedGroup> group = posix::SupervisedGroup::start(
      [&]() -> int {
        if (::dup2(reportEnd, 3) != 3 || ::fcntl(3, F_SETFL, 0) != 0) return 1;
        ::syscall(SYS_close_range, 4, ~0U, 0);
        const StepReport report = step();
        const bool sent = posix::writeAll(3, encodeReport(name, report));
        ::close(3);
        afterwards(report);
        return sent ? 0 : 1;
      },
      {});
  if (!group) return group.error();
  channel->write.reset();
  return StepChild{name, std::move(*group), std::move(channel->read), {}, false, false};
}

void collectSteps(std::vector<StepChild>& children, Clock::time_point deadline) {
  char buffer[4096];
  auto drain = [&](StepChild& child) {
    for (;;) {
      const ssize_t n = ::read(child.report.get(), buffer, sizeof buffer);
      if (n > 0) {
        child.bytes.append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) child.reported = true;
      if (n == 0 || errno != EINTR) return;
    }
  };
  for (;;) {
    std::vector<pollfd> waiting;
    for (auto& child : children) {
      if (!child.reported) waiting.push_back({child.report.get(), POLLIN, 0});
      if (!child.exited && child.group->descriptor() >= 0) waiting.push_back({child.group->descriptor(), POLLIN, 0});
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (waiting.empty() || left <= 0) return;
    if (::poll(waiting.data(), waiting.size(), static_cast<int>(left)) < 0 && errno != EINTR) return;
    bool allExited = true;
    for (auto& child : children) {
      if (!child.reported) drain(child);
      if (!child.exited && child.group->descriptor() >= 0) {
        pollfd ended{child.group->descriptor(), POLLIN, 0};
        child.exited = ::poll(&ended, 1, 0) == 1;
      }
      // Without a pidfd the end of the report stands for the end of the child.
      allExited = allExited && (child.exited || (child.group->descriptor() < 0 && child.reported));
    }
    if (allExited) {
      for (auto& child : children) {
        if (!child.reported) drain(child);  // what an exited child wrote is all in the pipe now
      }
      return;
    }
  }
}

posix::Expected<StepReport> finishStep(StepChild& child, std::chrono::milliseconds bound) {
  // The whole group goes, also what the step left running.
  child.group->reap();
  const bool whole = child.reported || child.exited;
  if (!whole) return posix::Error("no answer within " + std::to_string(bound.count()) + " ms; tried again next run");
  std::optional<StepReport> report = decodeReport(child.name, child.bytes);
  if (!report) return posix::Error("its step ended without a report");
  return std::move(*report);
}

}  // namespace networksetup
