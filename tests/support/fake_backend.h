// A scriptable backend for tests, installed in the dispatch tables' spare
// column. Its buffers behave like a GPU's: mapping hands out a separate host
// copy (filled with junk unless fetched) that is written back only when
// unmapped with mode 1, so wrong map/unmap modes show up as wrong results.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ypu/ypu.h"

struct fake_backend {
  enum class entry { none, succeed, decline, fail };

  // What the backend does; set before use.
  std::array<entry, QZ_YPU_OP_COUNT> execute{};
  std::array<bool, QZ_YPU_OP_COUNT> has_state{};
  int fail_state_init_at = -1;    // op whose state init fails
  int fail_buffer_create_after = -1;  // creates that succeed before failing
  bool fail_host_alloc = false;
  bool fail_map = false;
  bool fail_upload = false;

  // What happened.
  std::vector<std::string> log;  // "execute 5", "init 3", "release 3", "free_buffer", ...
  std::vector<const void *> execute_params;
  int live_buffers = 0;
  int live_host = 0;
  int buffer_creates = 0;
  int buffer_frees = 0;
  std::vector<int32_t> create_requests;  // size of every buffer_create call, failed ones too

  fake_backend();
  ~fake_backend();
  fake_backend(const fake_backend &) = delete;
  fake_backend &operator=(const fake_backend &) = delete;

  // A context on this backend (through qz_ypu_context_create).
  qz_ypu_context_t *make_context();

  // Direct access to a buffer's device-side bytes.
  qz_ypu_buffer_t *create(int32_t size);
  void write(qz_ypu_buffer_t *buffer, const void *data, int32_t size, int32_t offset = 0);
  void read(qz_ypu_buffer_t *buffer, void *data, int32_t size, int32_t offset = 0);
  void destroy(qz_ypu_buffer_t *buffer);

  int count(const std::string &event) const;
};
