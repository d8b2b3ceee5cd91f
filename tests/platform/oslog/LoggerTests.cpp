// The unified-logging Logger.
#include <gtest/gtest.h>

#include "platform/oslog/Logger.h"

namespace {

TEST(Logger, EntriesCarryTheLoggersNamesAndTakeArgumentsAsData) {
  OSLogCapture outer;
  {
    OSLogCapture inner;
    Logger("net.example.sub", "main").error("Failed to %s: %s", "go", "100% %s done");
    ASSERT_EQ(inner.entries().size(), 1u);
    EXPECT_EQ(inner.entries()[0],
              (OSLogEntry{"net.example.sub", "main", OSLogType::error, "Failed to go: 100% %s done"}));
  }
  Logger("s", "c").error("after");
  ASSERT_EQ(outer.entries().size(), 1u);
  EXPECT_EQ(outer.entries()[0].message, "after");
}

}  // namespace
