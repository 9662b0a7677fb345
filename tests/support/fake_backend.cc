#include "support/fake_backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

struct fake_buffer {
  std::vector<char> device;
  std::vector<char> host;
  int maps = 0;
};

fake_backend *self(void *device) { return static_cast<fake_backend *>(device); }
fake_buffer *cast(qz_ypu_buffer_t *buffer) { return reinterpret_cast<fake_buffer *>(buffer); }

void fake_close(void *device) { self(device)->log.push_back("close"); }

qz_status_t fake_upload(void *device, qz_ypu_buffer_t *buffer, const void *source, int32_t offset,
                        int32_t length) {
  if (device && self(device)->fail_upload) return QZ_STATUS_RUNTIME_ERROR;
  std::memcpy(cast(buffer)->device.data() + offset, source, length);
  return QZ_STATUS_SUCCESS;
}

qz_status_t fake_download(void *, qz_ypu_buffer_t *buffer, void *destination, int32_t offset,
                          int32_t length) {
  std::memcpy(destination, cast(buffer)->device.data() + offset, length);
  return QZ_STATUS_SUCCESS;
}

void fake_list_free(char **list, int32_t count) {
  if (!list) return;
  for (int32_t i = 0; i < count; ++i) std::free(list[i]);
  std::free(list);
}

qz_status_t fake_list(char ***list, int32_t *count) {
  *list = nullptr;
  *count = 0;
  return QZ_STATUS_SUCCESS;
}

qz_ypu_buffer_t *fake_create(void *device, int32_t size, int32_t) {
  fake_backend *b = self(device);
  b->create_requests.push_back(size);
  if (size < 0) return nullptr;
  if (b->fail_buffer_create_after == 0) return nullptr;
  if (b->fail_buffer_create_after > 0) --b->fail_buffer_create_after;
  ++b->buffer_creates;
  ++b->live_buffers;
  auto buffer = new fake_buffer;
  buffer->device.assign(size, 0);
  return reinterpret_cast<qz_ypu_buffer_t *>(buffer);
}

void *fake_map(void *device, qz_ypu_buffer_t *handle, int32_t mode) {
  if (self(device)->fail_map) return nullptr;
  fake_buffer *buffer = cast(handle);
  if (buffer->maps++ == 0) buffer->host.assign(buffer->device.size(), char(0xA5));
  if (mode == 1) buffer->host = buffer->device;
  self(device)->log.push_back(mode == 1 ? "map fetch" : "map");
  return buffer->host.data();
}

void fake_unmap(void *device, qz_ypu_buffer_t *handle, int32_t mode) {
  fake_buffer *buffer = cast(handle);
  if (mode == 1) buffer->device = buffer->host;
  if (--buffer->maps == 0) buffer->host.clear();
  self(device)->log.push_back(mode == 1 ? "unmap write" : "unmap");
}

void fake_free(void *device, qz_ypu_buffer_t *handle) {
  if (!handle) return;
  fake_backend *b = self(device);
  b->log.push_back("free_buffer");
  ++b->buffer_frees;
  --b->live_buffers;
  delete cast(handle);
}

void *fake_host_alloc(void *device, int32_t size) {
  fake_backend *b = self(device);
  if (b->fail_host_alloc || size < 0) return nullptr;
  ++b->live_host;
  return std::malloc(size ? size : 1);
}

void fake_host_free(void *device, void *pointer) {
  if (!pointer) return;
  --self(device)->live_host;
  self(device)->log.push_back("host_free");
  std::free(pointer);
}

int32_t fake_size(void *, qz_ypu_buffer_t *buffer) {
  return static_cast<int32_t>(cast(buffer)->device.size());
}

template <uint32_t op>
qz_status_t fake_execute(void *device, void *, const void *params) {
  fake_backend *b = self(device);
  b->log.push_back("execute " + std::to_string(op));
  b->execute_params.push_back(params);
  switch (b->execute[op]) {
    case fake_backend::entry::succeed: return QZ_STATUS_SUCCESS;
    case fake_backend::entry::decline: return QZ_STATUS_INVALID_ARGUMENT;
    default: return QZ_STATUS_RUNTIME_ERROR;
  }
}

template <uint32_t op>
qz_status_t fake_init(void *device, void **state) {
  fake_backend *b = self(device);
  b->log.push_back("init " + std::to_string(op));
  if (b->fail_state_init_at == static_cast<int>(op)) return QZ_STATUS_RUNTIME_ERROR;
  *state = reinterpret_cast<void *>(uintptr_t{op} + 1);
  return QZ_STATUS_SUCCESS;
}

template <uint32_t op>
void fake_release(void *device, void *state) {
  self(device)->log.push_back("release " + std::to_string(op) +
                              (state ? "" : " null"));
}

template <uint32_t... ops>
constexpr std::array<qz_ypu_execute_fn, sizeof...(ops)> execute_entries(
    std::integer_sequence<uint32_t, ops...>) {
  return {fake_execute<ops>...};
}
template <uint32_t... ops>
constexpr std::array<qz_ypu_state_init_fn, sizeof...(ops)> init_entries(
    std::integer_sequence<uint32_t, ops...>) {
  return {fake_init<ops>...};
}
template <uint32_t... ops>
constexpr std::array<qz_ypu_state_release_fn, sizeof...(ops)> release_entries(
    std::integer_sequence<uint32_t, ops...>) {
  return {fake_release<ops>...};
}

constexpr auto kAllOps = std::make_integer_sequence<uint32_t, QZ_YPU_OP_COUNT>{};
constexpr auto kExecute = execute_entries(kAllOps);
constexpr auto kInit = init_entries(kAllOps);
constexpr auto kRelease = release_entries(kAllOps);

// Columns with null where the configured backend has no entry.
struct fake_columns {
  std::array<qz_ypu_execute_fn, QZ_YPU_OP_COUNT> execute{};
  std::array<qz_ypu_state_init_fn, QZ_YPU_OP_COUNT> init{};
  std::array<qz_ypu_state_release_fn, QZ_YPU_OP_COUNT> release{};
  qz_ypu_backend_t backend{};
};
fake_columns g_columns;

}  // namespace

fake_backend::fake_backend() {}

fake_backend::~fake_backend() { qz_ypu_backend_install_test(nullptr); }

qz_ypu_context_t *fake_backend::make_context() {
  for (uint32_t op = 0; op < QZ_YPU_OP_COUNT; ++op) {
    g_columns.execute[op] = execute[op] == entry::none ? nullptr : kExecute[op];
    g_columns.init[op] = has_state[op] ? kInit[op] : nullptr;
    g_columns.release[op] = has_state[op] ? kRelease[op] : nullptr;
  }
  g_columns.backend = {
      .device = {fake_close, fake_upload, fake_download, fake_list_free, fake_list, fake_create,
                 fake_map, fake_unmap, fake_free, fake_host_alloc, fake_host_free, fake_size},
      .execute = g_columns.execute.data(),
      .state_init = g_columns.init.data(),
      .state_release = g_columns.release.data(),
  };
  qz_ypu_backend_install_test(&g_columns.backend);
  qz_ypu_context_t *context = nullptr;
  if (qz_ypu_context_create(QZ_YPU_BACKEND_TEST, this, &context) != QZ_STATUS_SUCCESS)
    return nullptr;
  return context;
}

qz_ypu_buffer_t *fake_backend::create(int32_t size) { return fake_create(this, size, 0); }

void fake_backend::write(qz_ypu_buffer_t *buffer, const void *data, int32_t size, int32_t offset) {
  fake_upload(this, buffer, data, offset, size);
}

void fake_backend::read(qz_ypu_buffer_t *buffer, void *data, int32_t size, int32_t offset) {
  fake_download(this, buffer, data, offset, size);
}

void fake_backend::destroy(qz_ypu_buffer_t *buffer) { fake_free(this, buffer); }

int fake_backend::count(const std::string &event) const {
  return static_cast<int>(std::count(log.begin(), log.end(), event));
}
