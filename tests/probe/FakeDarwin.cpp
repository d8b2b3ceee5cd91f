#include "tests/probe/FakeDarwin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace probe_testing {

namespace {

// One resolver entry with its own address storage, so the list is freed node by node.
struct AddressNode {
  addrinfo info{};
  sockaddr_storage storage{};
};

struct InterfaceNode {
  ifaddrs entry{};
  std::string name;
  sockaddr_storage storage{};
};

socklen_t fillAddress(const std::string& text, sockaddr_storage& storage, int port) {
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(sockaddr_in6);
  }
  return 0;
}

std::string levelName(int level, int option) {
  if (level == IPPROTO_IP && option == darwin::IP_BOUND_IF) return "IPPROTO_IP,IP_BOUND_IF";
  if (level == IPPROTO_IPV6 && option == darwin::IPV6_BOUND_IF) return "IPPROTO_IPV6,IPV6_BOUND_IF";
  return std::to_string(level) + "," + std::to_string(option);
}

}  // namespace

std::string describe(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return "family " + std::to_string(address->sa_family);
}

FakeDarwin::FakeDarwin() {
  static std::atomic<uint64_t> doubles{0};
  serial_ = ++doubles;
  nextDescriptor_ = -1;
  capture_ = std::make_unique<NSLogCapture>([this](const std::string& line) { record("log: " + line); });
  scope_ = std::make_unique<darwin::ScopedDarwinSystem>(*this);
}

FakeDarwin::~FakeDarwin() {
  scope_.reset();
  capture_.reset();
}

void FakeDarwin::record(std::string entry) {
  std::lock_guard lock(mutex_);
  journal_.push_back(std::move(entry));
}

std::vector<std::string> FakeDarwin::journal() const {
  std::lock_guard lock(mutex_);
  return journal_;
}

std::vector<std::string> FakeDarwin::transcript() const {
  std::vector<std::string> kept;
  for (const std::string& entry : journal()) {
    if (entry.starts_with("log: ") || entry.starts_with("close(") || entry.starts_with("free")) kept.push_back(entry);
  }
  return kept;
}

std::vector<std::string> FakeDarwin::logLines() const {
  std::vector<std::string> lines;
  for (const std::string& entry : journal()) {
    if (entry.starts_with("log: ")) lines.push_back(entry.substr(5));
  }
  return lines;
}

std::vector<std::string> FakeDarwin::leaks() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> found = faults_;
  for (const auto& [fd, socket] : open_) found.push_back("socket " + std::to_string(fd) + " never closed");
  for (const auto& [head, list] : addressLists_) {
    if (!list.freed) found.push_back("an address list was never freed");
  }
  for (const auto& [head, freed] : interfaceLists_) {
    if (!freed) found.push_back("an interface list was never freed");
  }
  return found;
}

int FakeDarwin::getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  record("getaddrinfo(" + std::string(node) + "," + std::string(service) + ",flags=" + std::to_string(hints->ai_flags) +
         ",family=" + std::to_string(hints->ai_family) + ",socktype=" + std::to_string(hints->ai_socktype) +
         ",protocol=" + std::to_string(hints->ai_protocol) + ")");
  std::lock_guard lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  auto it = hosts.find(node);
  if (it == hosts.end()) return EAI_NONAME;
  if (it->second.code != 0) return it->second.code;
  *result = nullptr;
  addrinfo* tail = nullptr;
  const int port = std::atoi(service);
  for (const FakeAttempt& attempt : it->second.attempts) {
    auto* node = new AddressNode;
    node->info.ai_addrlen = fillAddress(attempt.address, node->storage, port);
    node->info.ai_family = node->storage.ss_family;
    node->info.ai_socktype = SOCK_STREAM;
    node->info.ai_protocol = IPPROTO_TCP;
    node->info.ai_addr = reinterpret_cast<sockaddr*>(&node->storage);
    if (tail == nullptr) {
      *result = &node->info;
    } else {
      tail->ai_next = &node->info;
    }
    tail = &node->info;
  }
  if (*result != nullptr) {
    addressLists_[*result] = AddressList{it->second.attempts, false};
    cursors_[std::this_thread::get_id()] = {*result, 0};
  }
  return 0;
}

void FakeDarwin::freeaddrinfo(addrinfo* list) {
  record("freeaddrinfo");
  std::lock_guard lock(mutex_);
  auto handed = addressLists_.find(list);
  if (handed == addressLists_.end()) {
    faults_.push_back("freeaddrinfo of a list it did not hand out");
    return;
  }
  if (handed->second.freed) {
    faults_.push_back("an address list was freed twice");
    return;
  }
  handed->second.freed = true;
  // Freed for real, so the sanitizers see any later use.
  for (addrinfo* node = list; node != nullptr;) {
    addrinfo* next = node->ai_next;
    delete reinterpret_cast<AddressNode*>(node);
    node = next;
  }
}

const FakeAttempt* FakeDarwin::attemptFor(int fd) const {
  auto it = open_.find(fd);
  return it == open_.end() ? nullptr : &it->second.attempt;
}

int FakeDarwin::socket(int domain, int type, int protocol) {
  std::unique_lock lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  // The attempts are made in list order, each on the thread that resolved the list, so this
  // socket is for the next address of this thread's list.
  const FakeAttempt* attempt = nullptr;
  auto cursor = cursors_.find(std::this_thread::get_id());
  if (cursor != cursors_.end()) {
    const std::vector<FakeAttempt>& attempts = addressLists_[cursor->second.first].attempts;
    if (cursor->second.second < attempts.size()) attempt = &attempts[cursor->second.second++];
  }
  if (nextDescriptor_ < 0) nextDescriptor_ = firstDescriptor;
  std::string call =
      "socket(" + std::to_string(domain) + "," + std::to_string(type) + "," + std::to_string(protocol) + ")";
  if (attempt == nullptr) {
    faults_.push_back("socket() for no resolved address");
    lock.unlock();
    record(call + "=-1");
    errno = EINVAL;
    return -1;
  }
  if (attempt->socketErrno != 0) {
    int error = attempt->socketErrno;
    lock.unlock();
    record(call + "=-1");
    errno = error;
    return -1;
  }
  int fd = nextDescriptor_++;
  open_[fd] = Socket{*attempt};
  lock.unlock();
  record(call + "=" + std::to_string(fd));
  return fd;
}

int FakeDarwin::setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  uint32_t index = 0;
  if (length == sizeof index) std::memcpy(&index, value, sizeof index);
  record("setsockopt(" + std::to_string(fd) + "," + levelName(level, option) + ",index=" + std::to_string(index) +
         ",length=" + std::to_string(length) + ")");
  std::lock_guard lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  const FakeAttempt* attempt = attemptFor(fd);
  if (attempt == nullptr) {
    errno = EBADF;
    return -1;
  }
  if (attempt->bindErrno != 0) {
    errno = attempt->bindErrno;
    return -1;
  }
  return 0;
}

int FakeDarwin::getsockopt(int fd, int level, int option, void* value, socklen_t* length) {
  record("getsockopt(" + std::to_string(fd) + (level == SOL_SOCKET && option == SO_ERROR ? ",SO_ERROR" : ",other") +
         ",length=" + std::to_string(*length) + ")");
  std::lock_guard lock(mutex_);
  const FakeAttempt* attempt = attemptFor(fd);
  if (attempt == nullptr || attempt->getsockoptFails) {
    errno = attempt == nullptr ? EBADF : ENOPROTOOPT;
    return -1;
  }
  std::memcpy(value, &attempt->soError, sizeof(int));
  *length = sizeof(int);
  return 0;
}

int FakeDarwin::fcntl(int fd, int command, int argument) {
  std::lock_guard lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  auto it = open_.find(fd);
  if (command == F_GETFL) {
    journal_.push_back("fcntl(" + std::to_string(fd) + ",F_GETFL)");
    return it == open_.end() ? -1 : it->second.flags;
  }
  journal_.push_back("fcntl(" + std::to_string(fd) + ",F_SETFL," + std::to_string(argument) + ")");
  if (it != open_.end()) it->second.flags = argument;
  return 0;
}

int FakeDarwin::connect(int fd, const sockaddr* address, socklen_t length) {
  std::unique_lock lock(mutex_);
  auto it = open_.find(fd);
  std::string call = "connect(" + std::to_string(fd) + "," + describe(address) + ")";
  if (it == open_.end()) {
    journal_.push_back(call);
    errno = EBADF;
    return -1;
  }
  if (!(it->second.flags & O_NONBLOCK)) faults_.push_back("connect() on a blocking socket");
  const FakeAttempt& attempt = it->second.attempt;
  journal_.push_back(call);
  if (attempt.connectErrno == 0) {
    elapsed_[std::this_thread::get_id()] += attempt.ticks;
    return 0;
  }
  errno = attempt.connectErrno;
  return -1;
}

int FakeDarwin::select(int nfds, darwin::FdSet* readfds, darwin::FdSet* writefds, darwin::FdSet* errorfds,
                       timeval* timeout) {
  std::function<void()> duringWait;
  int result = 0, error = 0;
  {
    std::lock_guard lock(mutex_);
    std::string sets;
    int fd = -1;
    for (const auto& [open, socket] : open_) {
      if (writefds != nullptr && writefds->isSet(open)) {
        sets += (sets.empty() ? "" : ",") + std::to_string(open);
        fd = open;
      }
    }
    std::string interval = timeout == nullptr
                               ? "forever"
                               : std::to_string(timeout->tv_sec) + "s+" + std::to_string(timeout->tv_usec) + "us";
    journal_.push_back("select(" + std::to_string(nfds) + (readfds ? ",read" : "") + ",write={" + sets + "}" +
                       (errorfds ? ",error" : "") + "," + interval + ")");
    const FakeAttempt* attempt = attemptFor(fd);
    if (attempt == nullptr) {
      errno = EBADF;
      return -1;
    }
    result = attempt->selectResult;
    error = attempt->selectErrno;
    duringWait = attempt->duringWait;
    elapsed_[std::this_thread::get_id()] += attempt->ticks;
    // As Linux's select does: the interval comes back lowered by the time waited.
    if (timeout != nullptr) *timeout = timeval{};
    if (result <= 0 && writefds != nullptr) writefds->zero();
  }
  if (duringWait) duringWait();
  if (result < 0) errno = error;
  return result;
}

int FakeDarwin::close(int fd) {
  std::lock_guard lock(mutex_);
  journal_.push_back("close(" + std::to_string(fd) + ")");
  if (open_.erase(fd) == 0) faults_.push_back("close(" + std::to_string(fd) + ") of a descriptor not open");
  return 0;
}

int FakeDarwin::getifaddrs(ifaddrs** list) {
  record("getifaddrs");
  std::lock_guard lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  if (getifaddrsErrno) {
    errno = *getifaddrsErrno;
    return -1;
  }
  *list = nullptr;
  if (getifaddrsListsNothing) return 0;
  ifaddrs* tail = nullptr;
  for (const FakeInterface& fake : interfaces) {
    auto* node = new InterfaceNode;
    node->name = fake.name;
    node->entry.ifa_name = node->name.data();
    node->entry.ifa_flags = fake.flags;
    if (fake.family) {
      node->storage.ss_family = static_cast<sa_family_t>(*fake.family);
      if (*fake.family == AF_INET || *fake.family == AF_INET6) fillAddress(fake.address, node->storage, 0);
      node->entry.ifa_addr = reinterpret_cast<sockaddr*>(&node->storage);
    }
    if (tail == nullptr) {
      *list = &node->entry;
    } else {
      tail->ifa_next = &node->entry;
    }
    tail = &node->entry;
  }
  if (*list != nullptr) interfaceLists_[*list] = false;
  return 0;
}

void FakeDarwin::freeifaddrs(ifaddrs* list) {
  record("freeifaddrs");
  std::lock_guard lock(mutex_);
  auto handed = interfaceLists_.find(list);
  if (handed == interfaceLists_.end()) {
    faults_.push_back("freeifaddrs of a list it did not hand out");
    return;
  }
  if (handed->second) {
    faults_.push_back("an interface list was freed twice");
    return;
  }
  handed->second = true;
  for (ifaddrs* node = list; node != nullptr;) {
    ifaddrs* next = node->ifa_next;
    delete reinterpret_cast<InterfaceNode*>(node);
    node = next;
  }
}

unsigned int FakeDarwin::if_nametoindex(const char* name) {
  record("if_nametoindex(" + std::string(name) + ")");
  std::lock_guard lock(mutex_);
  elapsed_[std::this_thread::get_id()] += setupTicks;
  auto it = indexes.find(name);
  return it == indexes.end() ? 0 : it->second;
}

uint64_t FakeDarwin::interfaceListGeneration() {
  // Counts that no other double has given, so a snapshot kept from an earlier double (perhaps at
  // the same address) is never taken for this one's.
  static std::atomic<uint64_t> fresh{uint64_t{1} << 62};
  return interfaceGeneration ? (serial_ << 32) + *interfaceGeneration : fresh++;
}

uint64_t FakeDarwin::mach_absolute_time() {
  std::lock_guard lock(mutex_);
  return now + elapsed_[std::this_thread::get_id()];
}

darwin::kern_return_t FakeDarwin::mach_timebase_info(darwin::mach_timebase_info_data_t* info) {
  std::lock_guard lock(mutex_);
  info->numer = numer;
  info->denom = denom;
  return darwin::KERN_SUCCESS;
}

}  // namespace probe_testing
