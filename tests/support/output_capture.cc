#include "support/output_capture.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

output_capture::output_capture(int fd) : fd_(fd) {
  // Nothing buffered before the capture may land in it.
  std::fflush(nullptr);
  file_ = std::tmpfile();
  if (!file_) return;
  saved_ = dup(fd_);
  if (saved_ < 0 || dup2(fileno(file_), fd_) < 0) {
    if (saved_ >= 0) close(saved_);
    saved_ = -1;
  }
}

output_capture::~output_capture() { finish(); }

std::string output_capture::finish() {
  if (!file_) return "<no capture>";
  std::string text;
  if (saved_ >= 0) {
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    std::rewind(file_);
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
  } else {
    text = "<no capture>";
  }
  std::fclose(file_);
  file_ = nullptr;
  return text;
}
