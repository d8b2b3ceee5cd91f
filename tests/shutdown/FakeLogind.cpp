// A stand-in of systemd-logind's manager object on a private bus, for the power-off tests.
//
//   fake_logind EVENTS_FILE      (bus from DBUS_SYSTEM_BUS_ADDRESS)
//
// Owns org.freedesktop.login1, serves Inhibit(what, who, why, mode) on /org/freedesktop/login1
// with one end of a pipe, and appends to EVENTS_FILE one line per event: "ready", "inhibit WHAT
// WHO MODE", "released" when a caller lets its lock go. SIGUSR1 emits PrepareForShutdown(true).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string eventsPath;
std::vector<int> heldLocks;  // our read ends; EOF means the holder closed its end

void event(const std::string& line) {
  FILE* f = std::fopen(eventsPath.c_str(), "a");
  if (!f) return;
  std::fprintf(f, "%s\n", line.c_str());
  std::fclose(f);
}

int inhibit(sd_bus_message* m, void*, sd_bus_error*) {
  const char *what, *who, *why, *mode;
  int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
  if (r < 0) return r;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
  heldLocks.push_back(fds[0]);
  event(std::string("inhibit ") + what + " " + who + " " + mode);
  r = sd_bus_reply_method_return(m, "h", fds[1]);
  ::close(fds[1]);
  return r;
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForShutdown", "b", 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fake_logind EVENTS_FILE\n");
    return 2;
  }
  eventsPath = argv[1];
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGUSR1);
  sigaddset(&mask, SIGTERM);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);

  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_open_system(&bus);
  if (r >= 0)
    r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", kManager,
                                 nullptr);
  if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.login1", 0);
  if (r < 0) {
    std::fprintf(stderr, "fake_logind: %s\n", std::strerror(-r));
    return 1;
  }
  event("ready");

  for (;;) {
    while ((r = sd_bus_process(bus, nullptr)) > 0) {
    }
    if (r < 0) return 1;
    std::vector<pollfd> fds = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {sigFd, POLLIN, 0}};
    for (int lock : heldLocks) fds.push_back({lock, POLLIN, 0});
    if (poll(fds.data(), fds.size(), 1000) < 0) continue;
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      if (read(sigFd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGTERM) return 0;
        sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForShutdown", "b",
                           1);
        sd_bus_flush(bus);
        event("announced");
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLHUP | POLLIN)) {
        ::close(fds[i].fd);
        std::erase(heldLocks, fds[i].fd);
        event("released");
      }
    }
  }
}
