// Round trips per second of a small method call through the engine link, next to a bare Unix
// socket ping-pong of the very same bytes, so the link's own cost (its I/O thread, the hop to the
// main queue and back) shows as the ratio between the two.
//
//   link_bench                                   both, in process, then the summary
//   PROXYHOST_BENCH_SOCKET=/path link_bench --benchmark_filter=Host
//                                                the same client against a running host
//
// The process's main thread serves the main queue, as the host's run loop would; the benchmarks
// run on a second thread.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/EngineLink.h"
#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterCodecs.h"
#include "tools/proxyhostctl/LinkClient.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const std::string kChannel = "launch_at_startup";

const Bytes& callPayload() {
  static const Bytes bytes = StandardMethodCodec::getInstance().encodeMethodCall({"launchAtStartupIsEnabled", {}});
  return bytes;
}

const Bytes& replyPayload() {
  static const Bytes bytes = StandardMethodCodec::getInstance().encodeSuccessEnvelope(false);
  return bytes;
}

// The measured loop, the same against every server.
void roundTrips(benchmark::State& state, const std::string& path) {
  auto client = enginelink::LinkClient::connect(path, 5s);
  if (!client) {
    state.SkipWithError(client.error().message().c_str());
    return;
  }
  for (auto _ : state) {
    auto reply = (*client)->call(kChannel, callPayload(), 5s);
    if (!reply) {
      state.SkipWithError(reply.error().message().c_str());
      return;
    }
    benchmark::DoNotOptimize(reply->data());
  }
  state.SetItemsProcessed(state.iterations());
}

// Answers every message frame with the reply frame the link would send, straight from a thread
// blocked in read(): the floor any socket transport has.
class RawServer {
 public:
  explicit RawServer(const std::string& path) : path_(path) {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 8) != 0) {
      std::perror("raw server");
      std::exit(1);
    }
    thread_ = std::thread([this] { serve(); });
  }

  ~RawServer() {
    ::shutdown(listenFd_, SHUT_RDWR);
    thread_.join();
    ::close(listenFd_);
    ::unlink(path_.c_str());
  }

 private:
  void serve() {
    const Bytes hello = enginelink::encodeFrame(enginelink::HelloFrame{"bench.raw"}).value();
    for (;;) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
      enginelink::FrameReader reader;
      uint8_t buf[4096];
      ssize_t n;
      while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        reader.append(buf, static_cast<size_t>(n));
        while (auto frame = reader.next()) {
          const auto& message = std::get<enginelink::MessageFrame>(*frame);
          const Bytes out = enginelink::encodeFrame(enginelink::ReplyFrame{message.id, replyPayload()}).value();
          ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
      }
      ::close(fd);
    }
  }

  std::string path_;
  int listenFd_ = -1;
  std::thread thread_;
};

std::string linkPath, rawPath;

void BM_EngineLink(benchmark::State& state) { roundTrips(state, linkPath); }
void BM_RawSocket(benchmark::State& state) { roundTrips(state, rawPath); }
void BM_Host(benchmark::State& state) { roundTrips(state, std::getenv("PROXYHOST_BENCH_SOCKET")); }

// Keeps each benchmark's rates for the summary line (the median, when repeated).
class Reporter : public benchmark::ConsoleReporter {
 public:
  Reporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it == run.counters.end() || run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration) rates_[run.run_name.function_name].push_back(it->second);
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = it->second;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  std::optional<double> median(const std::string& name) const {
    if (auto m = medians_.find(name); m != medians_.end()) return m->second;
    auto it = rates_.find(name);
    if (it == rates_.end() || it->second.empty()) return std::nullopt;
    auto values = it->second;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> rates_;
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  char tmpl[] = "/tmp/linkbench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  linkPath = dir + "/engine.sock";
  rawPath = dir + "/raw.sock";

  auto started = EngineLink::start(linkPath, "bench.link",
                                   [](const std::string&, Bytes, FlutterBinaryReply reply) { reply(replyPayload()); });
  if (!started) {
    std::fprintf(stderr, "link_bench: %s\n", started.error().message().c_str());
    return 1;
  }
  std::unique_ptr<EngineLink> link = std::move(*started);
  auto raw = std::make_unique<RawServer>(rawPath);

  benchmark::RegisterBenchmark("BM_EngineLink", BM_EngineLink)->UseRealTime();
  benchmark::RegisterBenchmark("BM_RawSocket", BM_RawSocket)->UseRealTime();
  if (std::getenv("PROXYHOST_BENCH_SOCKET") != nullptr) benchmark::RegisterBenchmark("BM_Host", BM_Host)->UseRealTime();

  Reporter reporter;
  std::atomic<bool> finished{false};
  std::thread runner([&] {
    benchmark::RunSpecifiedBenchmarks(&reporter);
    finished = true;
    DispatchQueue::main().async([] {});  // wake the main thread to notice
  });
  while (!runMainQueueUntil([&] { return finished.load(); }, 1h)) {
  }
  runner.join();

  auto viaLink = reporter.median("BM_EngineLink"), viaRaw = reporter.median("BM_RawSocket");
  if (viaLink && viaRaw) {
    std::printf("round trips/s: engine link %.0f, raw socket %.0f; raw/link = %.2f\n", *viaLink, *viaRaw,
                *viaRaw / *viaLink);
  }
  link.reset();
  raw.reset();
  std::filesystem::remove_all(dir);
  benchmark::Shutdown();
  return 0;
}
