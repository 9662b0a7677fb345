// The harness runtime's devices, streams and events: per-thread current
// devices, streams that belong to a device and keep their work in order,
// lazily when told to, and events that order one stream after another.
#include "gpu_harness/cuda_devices.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "gpu_harness/cuda_harness.h"

namespace qz_gpu_harness {

namespace {

thread_local int g_current_device = 0;

struct stream_t;

// One piece of stream work, or a wait: run `target` up to `until` first.
struct work_t {
  std::function<void()> run;
  stream_t *target = nullptr;
  uint64_t until = 0;
};

struct stream_t {
  int device = 0;
  bool is_default = false;
  std::deque<work_t> queue;
  uint64_t issued = 0;  // work items queued so far
  uint64_t done = 0;    // work items run so far
};

// Where an event's last record points: a stream and how much of its work.
struct event_t {
  stream_t *stream = nullptr;
  uint64_t until = 0;
};

std::map<int, std::unique_ptr<stream_t>> g_default_streams;

stream_t *resolve(void *stream) {
  if (stream) return static_cast<stream_t *>(stream);
  std::unique_ptr<stream_t> &s = g_default_streams[g_current_device];
  if (!s) {
    s = std::make_unique<stream_t>();
    s->device = g_current_device;
    s->is_default = true;
  }
  return s.get();
}

bool lazy(const stream_t *s) {
  const cuda_harness &h = active_harness();
  return s->is_default ? h.lazy_default_stream : h.lazy_streams;
}

void run_until(stream_t *s, uint64_t until) {
  while (s->done < until && !s->queue.empty()) {
    work_t work = std::move(s->queue.front());
    s->queue.pop_front();
    if (work.target) run_until(work.target, work.until);
    if (work.run) work.run();
    ++s->done;
  }
}

int enqueue(stream_t *s, work_t work) {
  s->queue.push_back(std::move(work));
  ++s->issued;
  if (!lazy(s)) run_until(s, s->issued);
  return 0;
}

#define QZ_DEVICES_ENTER(call)                                        \
  if (const int injected = active_harness().enter(cuda_call::call)) \
  return active_harness().set_error(injected)
// The same for a call that needs the device's context, which fails with the
// error that lost it, if any.
#define QZ_DEVICES_CONTEXT(call) \
  QZ_DEVICES_ENTER(call);        \
  if (const int lost = active_harness().lost_error()) return lost

}  // namespace

int current_device() { return g_current_device; }
void set_current_device(int device) { g_current_device = device; }

int stream_submit(void *stream, std::function<void()> work) {
  stream_t *s = resolve(stream);
  if (s->device != g_current_device)
    return active_harness().set_error(kCudaErrorInvalidResourceHandle);
  return enqueue(s, {std::move(work), nullptr, 0});
}

void stream_drain(void *stream) {
  stream_t *s = resolve(stream);
  run_until(s, s->issued);
}

void streams_reset() { g_default_streams.clear(); }

int stream_create(void **stream) {
  QZ_DEVICES_CONTEXT(stream_create);
  auto *s = new stream_t;
  s->device = g_current_device;
  *stream = s;
  ++active_harness().live_streams_;
  return 0;
}

int stream_destroy(void *stream) {
  QZ_DEVICES_ENTER(stream_destroy);
  // The runtime lets queued work finish before the stream goes.
  stream_drain(stream);
  delete static_cast<stream_t *>(stream);
  --active_harness().live_streams_;
  return active_harness().lost_error();  // a lost context's streams go with it
}

int stream_synchronize(void *stream) {
  QZ_DEVICES_CONTEXT(stream_synchronize);
  stream_drain(stream);
  return 0;
}

int event_create(void **event) {
  QZ_DEVICES_CONTEXT(event_create);
  *event = new event_t;
  return 0;
}

int event_destroy(void *event) {
  QZ_DEVICES_ENTER(event_destroy);
  delete static_cast<event_t *>(event);
  return 0;
}

int event_record(void *event, void *stream) {
  QZ_DEVICES_CONTEXT(event_record);
  stream_t *s = resolve(stream);
  if (s->device != g_current_device)
    return active_harness().set_error(kCudaErrorInvalidResourceHandle);
  *static_cast<event_t *>(event) = {s, s->issued};
  return 0;
}

int stream_wait_event(void *stream, void *event) {
  QZ_DEVICES_CONTEXT(stream_wait_event);
  stream_t *s = resolve(stream);
  const event_t &e = *static_cast<const event_t *>(event);
  // An event never recorded is complete.
  if (!e.stream) return 0;
  return enqueue(s, {nullptr, e.stream, e.until});
}

int device_get_attribute(int *value, int attribute, int device) {
  QZ_DEVICES_ENTER(device_get_attribute);
  const cuda_harness &h = active_harness();
  if (device < 0 || device >= h.device_count) return active_harness().set_error(101);
  if (attribute != qz_cuda_emu::QZ_CUDA_ATTRIBUTE_MEMORY_POOLS_SUPPORTED)
    return active_harness().set_error(kCudaErrorInvalidValue);
  *value = h.memory_pools ? 1 : 0;
  return 0;
}

int cuda_harness::allocation_device(const void *pointer) const {
  const auto it = allocation_devices_.find(pointer);
  return it == allocation_devices_.end() ? -1 : it->second;
}

}  // namespace qz_gpu_harness

namespace qz_cuda_emu {

// The GPU reads an element only from an address that is a multiple of its
// size; a kernel given such an operand faults, and the fault ends the
// context.
void qz_cuda_emu_typed_access(const void *pointer, size_t alignment) {
  if (reinterpret_cast<uintptr_t>(pointer) % alignment == 0) return;
  qz_gpu_harness::cuda_harness &h = qz_gpu_harness::active_harness();
  ++h.misaligned_operands;
  h.set_error(qz_gpu_harness::kCudaErrorMisalignedAddress);
}

}  // namespace qz_cuda_emu
