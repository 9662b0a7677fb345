// Damaged model files loaded through the shared library, exactly as an
// application links it (this program sees only the public header). Every
// copy must either load or fail with a status and a readable innermost
// message: no crash, no sanitizer report, no "(null)" from a message whose
// text asked for an argument that was never passed.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qz_norvo.h"
#include "support/public_error_stack.h"
#include "test_paths.h"

namespace {

const std::string kModel = std::string(QZ_SOURCE_DIR) + "/models/en-de.qz";

std::vector<char> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file in the test's own temporary folder, removed at the end.
struct temp_file {
  std::string path;
  temp_file() {
    const char *dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/qz_damaged_" + std::to_string(getpid()) +
           "_" + std::to_string(counter++) + ".qz";
  }
  ~temp_file() { std::remove(path.c_str()); }
  void write(const std::vector<char> &bytes) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
  }
  static inline int counter = 0;
};

// Loads `path`; on failure checks the status and the messages. Returns a
// description of what is wrong, empty when the outcome is clean.
std::string load_cleanly(const std::string &path) {
  qz_norvo_t *engine = nullptr;
  const qz_status_t status = qz_norvo_init(path.c_str(), "cpu:1", &engine);
  if (status == QZ_STATUS_SUCCESS) {
    if (!engine) return "success without an engine";
    qz_norvo_delete(engine);
    return "";
  }
  if (engine) return "an engine with a failure status";
  if (!qz_status_to_string(status)) return "unknown status " + std::to_string(status);
  const std::vector<std::string> messages = read_public_error_stack();
  if (messages.empty()) return "no message for status " + std::string(qz_status_to_string(status));
  for (const std::string &m : messages)
    if (!message_is_well_formed(m)) return "message \"" + m + "\"";
  if (!messages_explain_the_failure(messages)) {
    std::string all;
    for (const std::string &m : messages) all += "\n  " + m;
    return "no message says what failed:" + all;
  }
  return "";
}

// Runs `load_cleanly` in a child process, so that a crash is reported with
// the case that caused it instead of ending the whole sweep. The child ends
// with `exit`, so a leak checker linked in reports what a failed load left
// behind (as a non-zero exit status).
std::string load_in_child(const std::string &path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    const std::string problem = load_cleanly(path);
    if (!problem.empty()) (void)!write(pipe_fds[1], problem.data(), problem.size());
    close(pipe_fds[1]);
    std::exit(0);
  }
  close(pipe_fds[1]);
  std::string problem;
  char buffer[256];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) problem.append(buffer, size_t(n));
  close(pipe_fds[0]);
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  if (WIFSIGNALED(wstatus)) return "killed by signal " + std::to_string(WTERMSIG(wstatus));
  if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
    return "exit status " + std::to_string(WEXITSTATUS(wstatus)) + " " + problem;
  return problem;
}

// Where the tokenizer section starts: its piece list begins with "<unk>".
size_t tokenizer_start(const std::vector<char> &model) {
  static const char kUnknown[] = "<unk>";
  auto it = std::search(model.begin(), model.end(), kUnknown, kUnknown + sizeof kUnknown);
  return it == model.end() ? 0 : size_t(it - model.begin());
}

// One damaged copy: the file cut at `length` bytes, or whole with some bytes
// changed.
struct damage {
  size_t length;
  std::vector<std::pair<size_t, char>> changes;
  std::string label() const {
    std::string text = "cut at " + std::to_string(length);
    if (!changes.empty()) text = "changed";
    for (const auto &[at, value] : changes)
      text += " " + std::to_string(at) + "=" + std::to_string(uint8_t(value));
    return text;
  }
};

// Truncations over the whole file, near its start and in the tokenizer
// section at its end, and 1-16 changed bytes anywhere, half of the copies
// changed only in the tokenizer section.
std::vector<damage> damaged_copies(const std::vector<char> &model) {
  std::mt19937 rng(20261211);
  const size_t size = model.size();
  const size_t tokenizer = tokenizer_start(model);
  const size_t tail = tokenizer > 64 ? tokenizer - 64 : 0;
  auto pick = [&rng](size_t from, size_t to) {
    return std::uniform_int_distribution<size_t>(from, to)(rng);
  };
  std::vector<damage> out;
  for (size_t length : {size_t(0), size_t(1), size_t(5), size_t(9), size - 1}) out.push_back({length, {}});
  for (int i = 0; i < 40; ++i) out.push_back({pick(0, 4096), {}});
  for (int i = 0; i < 40; ++i) out.push_back({pick(0, size - 1), {}});
  for (int i = 0; i < 40; ++i) out.push_back({pick(tail, size - 1), {}});
  for (int i = 0; i < 240; ++i) {
    damage d{size, {}};
    const int changes = std::uniform_int_distribution<int>(1, 16)(rng);
    for (int c = 0; c < changes; ++c)
      d.changes.emplace_back(pick(i % 2 ? tail : 0, size - 1),
                             char(std::uniform_int_distribution<int>(0, 255)(rng)));
    out.push_back(std::move(d));
  }
  return out;
}

// Writes `count` bytes from `data` at offset `at` of the file.
void put(int fd, const char *data, size_t at, size_t count) {
  while (count > 0) {
    const ssize_t n = pwrite(fd, data, count, off_t(at));
    ASSERT_GT(n, 0);
    data += n;
    at += size_t(n);
    count -= size_t(n);
  }
}

TEST(DamagedModel, EveryCopyLoadsOrFailsCleanly) {
  const std::vector<char> model = read_file(kModel);
  ASSERT_GT(model.size(), 1000000u) << kModel;
  ASSERT_GT(tokenizer_start(model), 0u);
  temp_file file;
  file.write(model);
  const int fd = open(file.path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  // Each copy is made in place from the pristine file and undone after.
  for (const damage &d : damaged_copies(model)) {
    ASSERT_EQ(ftruncate(fd, off_t(d.length)), 0);
    for (const auto &[at, value] : d.changes) put(fd, &value, at, 1);
    EXPECT_EQ(load_in_child(file.path), "") << d.label();
    for (const auto &[at, value] : d.changes) put(fd, &model[at], at, 1);
    put(fd, model.data() + d.length, d.length, model.size() - d.length);
  }
  close(fd);
}

// The piece tokenizer's flags field set to 4 (only 0 to 3 are valid): the
// load fails with the tokenizer's format record, which has no text.
TEST(DamagedModel, PieceTokenizerFlagsOutOfRange) {
  temp_file made;
  const std::string command =
      std::string(QZ_MAKE_TEST_MODEL) + " " + made.path + " 1 > /dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<char> bytes = read_file(made.path);
  // Pieces are preceded by flags, mode and their byte count.
  const size_t pieces = tokenizer_start(bytes);
  ASSERT_GT(pieces, 12u);
  int32_t flags = 0;
  std::memcpy(&flags, &bytes[pieces - 12], 4);
  ASSERT_EQ(flags, 1) << "the test model's tokenizer adds a leading space";
  flags = 4;
  std::memcpy(&bytes[pieces - 12], &flags, 4);
  temp_file damaged;
  damaged.write(bytes);

  EXPECT_EQ(load_in_child(damaged.path), "");
  qz_norvo_t *engine = nullptr;
  EXPECT_EQ(qz_norvo_init(damaged.path.c_str(), "cpu:1", &engine), QZ_STATUS_INVALID_ARGUMENT);
  const std::vector<std::string> messages = read_public_error_stack();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0], "0633a7d 000000D2: Velthrane Error.");
  // That record has no text; the section says what it means.
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "0633a7d 000000CC: The model file's tokenizer data is malformed."),
            messages.end());
}

}  // namespace
