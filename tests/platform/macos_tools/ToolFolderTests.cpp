#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// What the probe prints when started from `executable`.
std::string toolFolderSeenBy(const std::string& executable) {
  FILE* out = ::popen(("'" + executable + "'").c_str(), "r");
  if (out == nullptr) return "popen failed";
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
  ::pclose(out);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void writeTool(const fs::path& file) {
  std::ofstream(file) << "#!/bin/sh\n";
  fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
}

}  // namespace

// The installed layout in miniature: pkexec picks the polkit action whose exec.path equals the path
// it is given, so the host must name its helper in the tool folder itself, not through the link.
TEST(ToolFolder, TheBundlesHelpersLinkIsFollowedToTheToolsItNames) {
  testing_support::TempDir root;
  const fs::path tools = fs::path(root.path()) / "libexec/proxyhost";
  const fs::path contents = fs::path(root.path()) / "lib/proxyhost/ProxyHost.app/Contents";
  fs::create_directories(tools);
  fs::create_directories(contents / "MacOS");
  writeTool(tools / "networksetup");
  writeTool(tools / "base64");
  fs::create_directory_symlink("../../../../libexec/proxyhost", contents / "Helpers");
  const fs::path host = contents / "MacOS/proxyhost";
  fs::copy_file(TOOL_FOLDER_PROBE, host);
  fs::permissions(host, fs::perms::owner_all);

  EXPECT_EQ(toolFolderSeenBy(host), fs::canonical(tools).string());

  // A Helpers folder that lacks a tool is no tool folder, and the bundle's MacOS folder holds none.
  fs::remove(tools / "base64");
  EXPECT_EQ(toolFolderSeenBy(host), "none");
}
