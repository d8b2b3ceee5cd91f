// What the in-process link tests share: a private socket folder, a link whose main queue the
// test thread (the process's main thread) drives, and work run off the main thread meanwhile.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/EngineLink.h"

namespace linktest {

using namespace std::chrono_literals;

inline constexpr const char* kBundle = "net.test.host";

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/linktest-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/engine.sock";
  }

  void TearDown() override {
    link_.reset();
    drainMainQueue();
    std::filesystem::remove_all(dir_);
  }

  void startLink(EngineLink::Deliver deliver, EngineLink::PeersChanged peersChanged = {}) {
    auto started = EngineLink::start(path_, kBundle, std::move(deliver), std::move(peersChanged));
    ASSERT_TRUE(started) << started.error().message();
    link_ = std::move(*started);
  }

  // Runs `work` on another thread while this one serves the main queue; its result.
  template <typename F>
  auto offMain(F work, std::chrono::milliseconds timeout = 10s) {
    auto future = std::async(std::launch::async, std::move(work));
    EXPECT_TRUE(runMainQueueUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, timeout));
    return future.get();
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<EngineLink> link_;
};

}  // namespace linktest
