// What the code under test writes to a file descriptor (standard output
// unless told otherwise): the descriptor itself is pointed at a temporary
// file, so writes that bypass stdio are caught as well as printf's.
#pragma once

#include <cstdio>
#include <string>

class output_capture {
 public:
  explicit output_capture(int fd = 1);
  ~output_capture();
  output_capture(const output_capture &) = delete;
  output_capture &operator=(const output_capture &) = delete;

  // Flushes stdio, gives the descriptor back and returns what it received.
  std::string finish();

 private:
  int fd_;
  int saved_ = -1;
  std::FILE *file_ = nullptr;
};
