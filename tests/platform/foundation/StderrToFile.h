// Points this process's standard error at a file while alive, for tests of what lands there.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrToFile() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

 private:
  int saved_;
};
