// The context's cache of released device buffers. Slot 0 is never filled:
// the release scan looks for an empty slot among 1 to 63 only, and slot 0's
// age (0) never beats an occupied slot's.
#include <cstdint>

#include "ypu/ypu.h"

qz_ypu_buffer_t *qz_ypu_buffer_acquire(qz_ypu_context_t *context, int32_t size) {
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  int32_t best = INT32_MAX;
  qz_ypu_cache_slot_t *chosen = nullptr;
  for (auto &slot : context->cache) {
    if (!slot.buffer) continue;
    const int32_t have = ops.buffer_size(context->device, slot.buffer);
    if (have == size) {
      chosen = &slot;
      break;
    }
    if (have >= size && have < best) {
      best = have;
      chosen = &slot;
    }
  }
  if (!chosen) return ops.buffer_create(context->device, size, 0);
  qz_ypu_buffer_t *buffer = chosen->buffer;
  chosen->buffer = nullptr;
  return buffer;
}

void qz_ypu_buffer_release(qz_ypu_context_t *context, qz_ypu_buffer_t *buffer) {
  if (!buffer) return;
  const qz_ypu_device_ops_t &ops = qz_ypu_ops(context);
  for (auto &slot : context->cache) {
    if (!slot.buffer) continue;
    if (++slot.age > QZ_YPU_BUFFER_CACHE_MAX_AGE) {
      ops.buffer_free(context->device, slot.buffer);
      slot.buffer = nullptr;
    }
  }
  qz_ypu_cache_slot_t *target = &context->cache[0];
  for (int i = 1; i < QZ_YPU_BUFFER_CACHE_SLOTS; ++i) {
    qz_ypu_cache_slot_t &slot = context->cache[i];
    if (!slot.buffer) {
      target = &slot;
      break;
    }
    if (slot.age > target->age) target = &slot;
  }
  if (target->buffer) ops.buffer_free(context->device, target->buffer);
  target->buffer = buffer;
  target->age = 0;
}
