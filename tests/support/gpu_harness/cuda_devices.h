// Devices, streams and events of the harness's CUDA runtime (see
// cuda_harness.h): what cuda_harness.cc calls to queue work on a stream and
// the runtime calls it takes from cuda_devices.cc.
#pragma once

#include <cstddef>
#include <functional>

namespace qz_gpu_harness {

class cuda_harness;

// The harness in use (set for a cuda_harness's lifetime).
cuda_harness &active_harness();

// The calling thread's current device.
int current_device();
void set_current_device(int device);

// Queues `work` on `stream` (null: the current device's default stream) and
// runs it at once unless the stream is lazy. A stream of another device is
// refused (the error, made sticky); 0 otherwise.
int stream_submit(void *stream, std::function<void()> work);
// Runs the work queued on `stream` so far, and what it waits for.
void stream_drain(void *stream);
// Drops every stream's queued work and the default streams (the harness's
// end).
void streams_reset();

// The runtime calls.
int stream_create(void **stream);
int stream_destroy(void *stream);
int stream_synchronize(void *stream);
int event_create(void **event);
int event_destroy(void *event);
int event_record(void *event, void *stream);
int stream_wait_event(void *stream, void *event);
int device_get_attribute(int *value, int attribute, int device);

}  // namespace qz_gpu_harness
