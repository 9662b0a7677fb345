#include "metal_standin.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "gpu_harness/metal_launch.h"
#include "ypu/metal/runtime.h"

namespace qz_metal_standin {
namespace {

constexpr int kSlots = qz_metal_emu::kArgumentSlots;
constexpr uint64_t kStatusCompleted = 4, kStatusError = 5;

enum class kind {
  cls, string, array, options, error, device, queue, library, function, pipeline,
  command_buffer, compute_encoder, blit_encoder, buffer,
  graph, tensor, tensor_data, ndarray, number, dictionary
};
constexpr const char *kKindNames[] = {
    "class", "string", "array", "options", "error", "device", "queue", "library", "function",
    "pipeline", "command buffer", "compute encoder", "blit encoder", "buffer",
    "graph", "tensor", "tensor data", "ndarray", "number", "dictionary"};

struct object;

// What an encoder has bound, and what a dispatch keeps of it.
struct binding_state {
  object *buffer[kSlots] = {};  // retained
  uint64_t offset[kSlots] = {};
  std::vector<unsigned char> bytes[kSlots];
  bool has_bytes[kSlots] = {};
  uint32_t threadgroup_length[kSlots] = {};
};

struct command {
  enum { threads, threadgroups, copy, fill } type;
  object *pipeline = nullptr;  // retained
  binding_state bound;
  uint64_t grid[3] = {}, group[3] = {};
  object *source = nullptr, *destination = nullptr;  // retained
  uint64_t source_offset = 0, destination_offset = 0, size = 0;
};

struct object {
  kind type;
  int refs = 1;
  bool dead = false;
  std::string text;            // string, class name, kernel name, device name
  std::vector<object *> items; // array (retained)
  uint64_t registry_id = 0;
  std::vector<unsigned char> contents;  // buffer
  uint64_t language_version = 0;       // options
  bool fast_math = false;
  std::vector<object *> pending;        // queue: committed, not yet run (retained)
  object *queue = nullptr;              // command buffer
  std::vector<std::unique_ptr<command>> commands;
  bool committed = false, completed = false;
  uint64_t status = 0;
  object *open_encoder = nullptr;
  object *command_buffer = nullptr;     // encoder
  bool ended = false;
  object *pipeline = nullptr;           // compute encoder (retained)
  binding_state bound;
  uint64_t width = 0, max_threads = 0;  // pipeline
  uint64_t static_memory = 0;           // pipeline: its kernel's threadgroup arrays
  // The graph framework's objects.
  std::vector<object *> keys;           // dictionary (retained), beside its items
  int64_t number = 0;                   // number
  object *source = nullptr;             // top-k tensor: its input (kept by the graph)
  bool indices = false;                 // top-k tensor: the indices (else the values)
  uint64_t k = 0, data_type = 0;        // top-k tensor; placeholder and tensor data
  unsigned char *external = nullptr;    // no-copy buffer: the memory it wraps
  uint64_t external_length = 0;
};

machine the_machine;
std::vector<std::unique_ptr<object>> all_objects;  // freed only by reset()
std::vector<std::vector<object *>> pools;

void violation(const std::string &what) { the_machine.violations.push_back(what); }

object *make(kind type) {
  all_objects.push_back(std::make_unique<object>());
  object *o = all_objects.back().get();
  o->type = type;
  if (type != kind::cls) ++the_machine.live_objects;
  return o;
}

void release(object *o);

void release_bindings(binding_state &b) {
  for (object *&buffer : b.buffer) {
    release(buffer);
    buffer = nullptr;
  }
}

void run(object *command_buffer);

void deallocate(object *o) {
  o->dead = true;
  if (o->type == kind::pipeline) the_machine.pipelines_released.push_back(o->text);
  --the_machine.live_objects;
  for (object *item : o->items) release(item);
  o->items.clear();
  for (object *key : o->keys) release(key);
  o->keys.clear();
  // A queue's committed work finishes without anyone waiting.
  for (object *buffer : o->pending) {
    run(buffer);
    release(buffer);
  }
  o->pending.clear();
  for (auto &c : o->commands) {
    release(c->pipeline);
    release_bindings(c->bound);
    release(c->source);
    release(c->destination);
  }
  o->commands.clear();
  if ((o->type == kind::compute_encoder || o->type == kind::blit_encoder) && !o->ended)
    violation("an encoder was released without endEncoding");
  release(o->pipeline);
  release_bindings(o->bound);
  o->contents = {};
}

void release(object *o) {
  if (!o || o->type == kind::cls) return;
  if (o->dead) {
    violation("release sent to a deallocated " + std::string(kKindNames[int(o->type)]));
    return;
  }
  if (--o->refs == 0) deallocate(o);
}

object *retain(object *o) {
  if (o) ++o->refs;
  return o;
}

object *autorelease(object *o) {
  if (pools.empty())
    violation("a " + std::string(kKindNames[int(o->type)]) + " was autoreleased with no pool");
  else
    pools.back().push_back(o);
  return o;
}

object *string_object(std::string text) {
  object *s = make(kind::string);
  s->text = std::move(text);
  return s;
}

object *device_object(int index) {
  object *d = make(kind::device);
  d->registry_id = 1000 + static_cast<uint64_t>(index);
  d->text = the_machine.devices[static_cast<size_t>(index)];
  return d;
}

// --- running command buffers ---------------------------------------------

bool in_buffer(const object *buffer, uint64_t offset, uint64_t size) {
  return offset <= buffer->contents.size() && size <= buffer->contents.size() - offset;
}

void run_dispatch(const command &c) {
  const qz_metal_emu::kernel_entry *kernel = qz_metal_emu::find_kernel(c.pipeline->text.c_str());
  if (!kernel) {
    violation("no kernel " + c.pipeline->text);
    return;
  }
  qz_metal_emu::bindings b;
  for (int i = 0; i < kSlots; ++i) {
    if (object *buffer = c.bound.buffer[i]) {
      if (c.bound.offset[i] > buffer->contents.size()) violation("a buffer offset past its end");
      b.buffer[i] = buffer->contents.data() + c.bound.offset[i];
    }
    if (c.bound.has_bytes[i]) b.bytes[i] = c.bound.bytes[i].data();
    b.threadgroup_length[i] = c.bound.threadgroup_length[i];
  }
  const auto dim = [](const uint64_t (&v)[3]) {
    return qz_gpu_harness::dim3_t{static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1]),
                                  static_cast<uint32_t>(v[2])};
  };
  // The kernel's SIMD-groups are as wide as its pipeline says they are.
  const auto width = static_cast<uint32_t>(c.pipeline->width);
  if (c.type == command::threads)
    qz_metal_emu::run_threads(*kernel, b, dim(c.grid), dim(c.group), width);
  else
    qz_metal_emu::run_threadgroups(*kernel, b, dim(c.grid), dim(c.group), width);
}

void run(object *command_buffer) {
  if (command_buffer->completed) return;
  for (auto &c : command_buffer->commands) {
    switch (c->type) {
      case command::threads:
      case command::threadgroups:
        run_dispatch(*c);
        break;
      case command::copy:
        if (!in_buffer(c->source, c->source_offset, c->size) ||
            !in_buffer(c->destination, c->destination_offset, c->size)) {
          violation("a copy outside its buffers");
          break;
        }
        std::memmove(c->destination->contents.data() + c->destination_offset,
                     c->source->contents.data() + c->source_offset, c->size);
        break;
      case command::fill:
        if (!in_buffer(c->destination, c->destination_offset, c->size)) {
          violation("a fill outside its buffer");
          break;
        }
        std::memset(c->destination->contents.data() + c->destination_offset, 0, c->size);
        break;
    }
  }
  command_buffer->completed = true;
  command_buffer->status = the_machine.gpu_error ? kStatusError : kStatusCompleted;
  ++the_machine.executed;
}

// Runs the queue's committed buffers in order, up to and including `last`.
void wait_for(object *last) {
  if (!last->committed) {
    violation("waitUntilCompleted on a command buffer that was not committed");
    return;
  }
  ++the_machine.waits;
  object *queue = last->queue;
  if (!queue || queue->dead) return;
  size_t done = 0;
  while (done < queue->pending.size()) {
    object *buffer = queue->pending[done++];
    run(buffer);
    if (buffer == last) break;
  }
  for (size_t i = 0; i < done; ++i) release(queue->pending[i]);
  queue->pending.erase(queue->pending.begin(), queue->pending.begin() + static_cast<long>(done));
}

// --- messages ------------------------------------------------------------

object *receiver(qz_objc_id self, qz_objc_sel op) {
  auto *o = static_cast<object *>(self);
  if (o && o->dead) {
    violation(std::string(static_cast<const char *>(op)) + " sent to a deallocated " +
              kKindNames[int(o->type)]);
    return nullptr;
  }
  return o;
}

void unknown(const object *o, qz_objc_sel op) {
  violation(std::string("unrecognised selector ") + static_cast<const char *>(op) + " sent to a " +
            kKindNames[int(o->type)]);
}

bool is(qz_objc_sel op, std::string_view name) { return static_cast<const char *>(op) == name; }

object *open_encoder(object *command_buffer, kind type) {
  if (the_machine.encoders_fail) return nullptr;
  if (command_buffer->committed) violation("an encoder on a committed command buffer");
  if (command_buffer->open_encoder) violation("a second encoder while one is open");
  object *encoder = make(type);
  encoder->command_buffer = command_buffer;
  command_buffer->open_encoder = encoder;
  return autorelease(encoder);
}

bool encoding(object *encoder) {
  if (!encoder->ended) return true;
  violation("a command on an ended encoder");
  return false;
}

qz_objc_id send(qz_objc_id self, qz_objc_sel op) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (is(op, "retain")) return retain(o);
  if (is(op, "release")) {
    release(o);
    return nullptr;
  }
  if (o->type == kind::cls && is(op, "new") && o->text == "MTLCompileOptions")
    return make(kind::options);
  if (o->type == kind::device && is(op, "newCommandQueue")) {
    if (the_machine.queue_fails) return nullptr;
    return make(kind::queue);
  }
  if (o->type == kind::device && is(op, "name")) return autorelease(string_object(o->text));
  if (o->type == kind::error && is(op, "localizedDescription"))
    return autorelease(string_object(the_machine.compiler_message));
  if (o->type == kind::string && is(op, "UTF8String")) return const_cast<char *>(o->text.c_str());
  if (o->type == kind::queue && is(op, "commandBuffer")) {
    if (the_machine.command_buffers_fail) return nullptr;
    object *buffer = make(kind::command_buffer);
    buffer->queue = o;
    return autorelease(buffer);
  }
  if (o->type == kind::command_buffer && is(op, "computeCommandEncoder"))
    return open_encoder(o, kind::compute_encoder);
  if (o->type == kind::command_buffer && is(op, "blitCommandEncoder"))
    return open_encoder(o, kind::blit_encoder);
  if (o->type == kind::command_buffer && is(op, "commit")) {
    if (o->committed) violation("a command buffer committed twice");
    if (o->open_encoder) violation("a command buffer committed with an open encoder");
    o->committed = true;
    ++the_machine.commits;
    o->queue->pending.push_back(retain(o));
    return nullptr;
  }
  if (o->type == kind::command_buffer && is(op, "waitUntilCompleted")) {
    wait_for(o);
    return nullptr;
  }
  if ((o->type == kind::compute_encoder || o->type == kind::blit_encoder) && is(op, "endEncoding")) {
    if (o->ended) violation("endEncoding sent twice");
    o->ended = true;
    if (!o->command_buffer->dead && o->command_buffer->open_encoder == o)
      o->command_buffer->open_encoder = nullptr;
    return nullptr;
  }
  if (o->type == kind::buffer && is(op, "contents"))
    return o->external ? o->external : o->contents.data();
  if (o->type == kind::cls && is(op, "alloc") && o->text == "MPSGraph") return make(kind::graph);
  if (o->type == kind::cls && is(op, "alloc") && o->text == "MPSGraphTensorData")
    return make(kind::tensor_data);
  if (o->type == kind::graph && is(op, "init")) return o;
  if (o->type == kind::tensor_data && is(op, "mpsndarray"))
    return o->items.size() > 1 ? o->items[1] : nullptr;
  unknown(o, op);
  return nullptr;
}

uintptr_t send_uint(qz_objc_id self, qz_objc_sel op) {
  object *o = receiver(self, op);
  if (!o) return 0;
  if (o->type == kind::array && is(op, "count")) return o->items.size();
  if (o->type == kind::pipeline && is(op, "threadExecutionWidth")) return o->width;
  if (o->type == kind::pipeline && is(op, "maxTotalThreadsPerThreadgroup")) return o->max_threads;
  if (o->type == kind::pipeline && is(op, "staticThreadgroupMemoryLength"))
    return o->static_memory;
  if (o->type == kind::device && is(op, "maxThreadgroupMemoryLength"))
    return the_machine.max_threadgroup_memory;
  if (o->type == kind::device && is(op, "registryID")) return o->registry_id;
  if (o->type == kind::command_buffer && is(op, "status")) return o->status;
  if (o->type == kind::buffer && is(op, "length"))
    return o->external ? o->external_length : o->contents.size();
  if (o->type == kind::buffer && is(op, "resourceOptions")) return 0;
  unknown(o, op);
  return 0;
}

qz_objc_id send_id(qz_objc_id self, qz_objc_sel op, qz_objc_id a) {
  object *o = receiver(self, op);
  auto *arg = static_cast<object *>(a);
  if (!o) return nullptr;
  if (o->type == kind::command_buffer && is(op, "setLabel:")) {
    the_machine.labels.push_back(arg ? arg->text : std::string());
    return nullptr;
  }
  if (o->type == kind::library && is(op, "newFunctionWithName:")) {
    if (!arg || the_machine.missing_functions.count(arg->text) ||
        !qz_metal_emu::find_kernel(arg->text.c_str()))
      return nullptr;
    object *function = make(kind::function);
    function->text = arg->text;
    return function;
  }
  if (o->type == kind::dictionary && is(op, "objectForKeyedSubscript:")) {
    for (size_t i = 0; i < o->keys.size(); ++i)
      if (o->keys[i] == arg) return o->items[i];
    return nullptr;
  }
  if (o->type == kind::compute_encoder && is(op, "setComputePipelineState:")) {
    if (encoding(o)) {
      retain(arg);
      release(o->pipeline);
      o->pipeline = arg;
    }
    return nullptr;
  }
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_u(qz_objc_id self, qz_objc_sel op, uintptr_t a) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::array && is(op, "objectAtIndexedSubscript:")) {
    if (a >= o->items.size()) {
      violation("an array index out of range");
      return nullptr;
    }
    return o->items[a];
  }
  if (o->type == kind::cls && o->text == "NSNumber" && is(op, "numberWithInt:")) {
    object *number = make(kind::number);
    number->number = static_cast<int32_t>(a);
    return autorelease(number);
  }
  if (o->type == kind::options && is(op, "setLanguageVersion:")) {
    o->language_version = a;
    return nullptr;
  }
  unknown(o, op);
  return nullptr;
}

void send_flag(qz_objc_id self, qz_objc_sel op, signed char a) {
  object *o = receiver(self, op);
  if (!o) return;
  if (o->type == kind::options && is(op, "setFastMathEnabled:")) {
    o->fast_math = a != 0;
    return;
  }
  unknown(o, op);
}

qz_objc_id send_u_u(qz_objc_id self, qz_objc_sel op, uintptr_t a, uintptr_t b) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::device && is(op, "newBufferWithLength:options:")) {
    if (b != 0) violation("a buffer not in shared storage");
    if (the_machine.buffers_fail || a == 0 || a > (uintptr_t{1} << 31)) return nullptr;
    object *buffer = make(kind::buffer);
    buffer->contents.assign(a, 0xFF);  // NaN as floats until written
    return buffer;
  }
  if (o->type == kind::compute_encoder && is(op, "setThreadgroupMemoryLength:atIndex:")) {
    if (b >= kSlots) violation("an argument index out of range");
    else if (a % 16) violation("a threadgroup memory length not a multiple of 16");
    else if (encoding(o)) o->bound.threadgroup_length[b] = static_cast<uint32_t>(a);
    return nullptr;
  }
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_str(qz_objc_id self, qz_objc_sel op, const char *a) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::cls && o->text == "NSString" && is(op, "stringWithUTF8String:"))
    return a ? autorelease(string_object(a)) : nullptr;
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_str_u(qz_objc_id self, qz_objc_sel op, const char *a, uintptr_t encoding_id) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::cls && o->text == "NSString" && is(op, "stringWithCString:encoding:")) {
    if (encoding_id != 1) violation("a label not in ASCII");
    return a ? autorelease(string_object(a)) : nullptr;
  }
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_id_err(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id *error) {
  object *o = receiver(self, op);
  auto *function = static_cast<object *>(a);
  if (!o) return nullptr;
  if (o->type == kind::device && is(op, "newComputePipelineStateWithFunction:error:")) {
    if (!function || function->type != kind::function ||
        the_machine.failing_pipelines.count(function->text)) {
      if (error) *error = autorelease(make(kind::error));
      return nullptr;
    }
    object *pipeline = make(kind::pipeline);
    pipeline->text = function->text;
    the_machine.pipelines_made.push_back(pipeline->text);
    pipeline->width = the_machine.thread_execution_width;
    pipeline->max_threads = the_machine.max_threads_per_threadgroup;
    const auto own = the_machine.static_threadgroup_memory.find(pipeline->text);
    if (own != the_machine.static_threadgroup_memory.end()) pipeline->static_memory = own->second;
    return pipeline;
  }
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_id_id_err(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                          qz_objc_id *error) {
  object *o = receiver(self, op);
  auto *source = static_cast<object *>(a);
  auto *options = static_cast<object *>(b);
  if (!o) return nullptr;
  if (o->type == kind::device && is(op, "newLibraryWithSource:options:error:")) {
    the_machine.library_source = source ? source->text : std::string();
    if (options) {
      the_machine.language_version = options->language_version;
      the_machine.fast_math = options->fast_math;
    }
    if (the_machine.library_fails || !source) {
      if (error) *error = autorelease(make(kind::error));
      return nullptr;
    }
    return make(kind::library);
  }
  unknown(o, op);
  return nullptr;
}

void send_id_u_u(qz_objc_id self, qz_objc_sel op, qz_objc_id a, uintptr_t offset, uintptr_t index) {
  object *o = receiver(self, op);
  auto *buffer = static_cast<object *>(a);
  if (!o) return;
  if (o->type == kind::compute_encoder && is(op, "setBuffer:offset:atIndex:")) {
    if (index >= kSlots) {
      violation("an argument index out of range");
    } else if (encoding(o)) {
      if (buffer && offset > buffer->contents.size()) violation("a buffer offset past its end");
      retain(buffer);
      release(o->bound.buffer[index]);
      o->bound.buffer[index] = buffer;
      o->bound.offset[index] = offset;
    }
    return;
  }
  unknown(o, op);
}

void send_ptr_u_u(qz_objc_id self, qz_objc_sel op, const void *a, uintptr_t length,
                  uintptr_t index) {
  object *o = receiver(self, op);
  if (!o) return;
  if (o->type == kind::compute_encoder && is(op, "setBytes:length:atIndex:")) {
    if (index >= kSlots) {
      violation("an argument index out of range");
    } else if (encoding(o)) {
      const auto *bytes = static_cast<const unsigned char *>(a);
      o->bound.bytes[index].assign(bytes, bytes + length);  // copied at once
      o->bound.has_bytes[index] = true;
    }
    return;
  }
  unknown(o, op);
}

void send_size_size(qz_objc_id self, qz_objc_sel op, qz_mtl_size_t a, qz_mtl_size_t b) {
  object *o = receiver(self, op);
  if (!o) return;
  const bool threads = is(op, "dispatchThreads:threadsPerThreadgroup:");
  if (o->type != kind::compute_encoder ||
      (!threads && !is(op, "dispatchThreadgroups:threadsPerThreadgroup:"))) {
    unknown(o, op);
    return;
  }
  if (!encoding(o)) return;
  if (!o->pipeline) {
    violation("a dispatch without a pipeline state");
    return;
  }
  const uint64_t group = uint64_t{b.width} * b.height * b.depth;
  if (group == 0) violation("an empty threadgroup");
  if (group > o->pipeline->max_threads) violation("a threadgroup larger than the pipeline allows");
  uint64_t memory = o->pipeline->static_memory;
  for (const uint32_t length : o->bound.threadgroup_length) memory += length;
  if (memory > the_machine.max_threadgroup_memory)
    violation("threadgroup memory beyond the device's limit");
  if (a.width == 0 || a.height == 0 || a.depth == 0) violation("an empty grid");
  auto c = std::make_unique<command>();
  c->type = threads ? command::threads : command::threadgroups;
  c->pipeline = retain(o->pipeline);
  for (int i = 0; i < kSlots; ++i) {
    c->bound.buffer[i] = retain(o->bound.buffer[i]);
    c->bound.offset[i] = o->bound.offset[i];
    c->bound.bytes[i] = o->bound.bytes[i];
    c->bound.has_bytes[i] = o->bound.has_bytes[i];
    c->bound.threadgroup_length[i] = o->bound.threadgroup_length[i];
  }
  c->grid[0] = a.width, c->grid[1] = a.height, c->grid[2] = a.depth;
  c->group[0] = b.width, c->group[1] = b.height, c->group[2] = b.depth;
  the_machine.dispatches.push_back({o->pipeline->text, !threads,
                                    {a.width, a.height, a.depth}, {b.width, b.height, b.depth}});
  o->command_buffer->commands.push_back(std::move(c));
}

void send_copy(qz_objc_id self, qz_objc_sel op, qz_objc_id source, uintptr_t source_offset,
               qz_objc_id destination, uintptr_t destination_offset, uintptr_t size) {
  object *o = receiver(self, op);
  if (!o) return;
  if (o->type != kind::blit_encoder ||
      !is(op, "copyFromBuffer:sourceOffset:toBuffer:destinationOffset:size:")) {
    unknown(o, op);
    return;
  }
  if (!encoding(o)) return;
  if (source_offset % 4 || destination_offset % 4 || size % 4)
    violation("a blit copy not in multiples of 4 bytes");
  auto c = std::make_unique<command>();
  c->type = command::copy;
  ++the_machine.copies;
  c->source = retain(static_cast<object *>(source));
  c->destination = retain(static_cast<object *>(destination));
  c->source_offset = source_offset;
  c->destination_offset = destination_offset;
  c->size = size;
  o->command_buffer->commands.push_back(std::move(c));
}

void send_fill(qz_objc_id self, qz_objc_sel op, qz_objc_id buffer, qz_ns_range_t range,
               unsigned char value) {
  object *o = receiver(self, op);
  if (!o) return;
  if (o->type != kind::blit_encoder || !is(op, "fillBuffer:range:value:")) {
    unknown(o, op);
    return;
  }
  if (!encoding(o)) return;
  if (range.location % 4 || range.length % 4) violation("a blit fill not in multiples of 4 bytes");
  if (range.length == 0) violation("an empty blit fill");
  if (value != 0) violation("a fill with a value the backend never uses");
  auto c = std::make_unique<command>();
  c->type = command::fill;
  ++the_machine.fills;
  c->destination = retain(static_cast<object *>(buffer));
  c->destination_offset = range.location;
  c->size = range.length;
  o->command_buffer->commands.push_back(std::move(c));
}

// --- runtime entry points ---------------------------------------------------

// --- the graph framework --------------------------------------------------------

constexpr uint64_t kFloat32 = 0x10000000u | 32;  // MPSDataTypeFloat32

bool graph_available() { return the_machine.frameworks && the_machine.graph_framework; }

qz_objc_id send_ptr_u(qz_objc_id self, qz_objc_sel op, const void *a, uintptr_t b) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::cls && o->text == "NSArray" && is(op, "arrayWithObjects:count:")) {
    object *array = make(kind::array);
    for (uintptr_t i = 0; i < b; ++i)
      array->items.push_back(retain(static_cast<object *const *>(a)[i]));
    return autorelease(array);
  }
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_ptr_ptr_u(qz_objc_id self, qz_objc_sel op, const void *a, const void *b,
                          uintptr_t c) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::cls && o->text == "NSDictionary" &&
      is(op, "dictionaryWithObjects:forKeys:count:")) {
    object *dictionary = make(kind::dictionary);
    for (uintptr_t i = 0; i < c; ++i) {
      dictionary->items.push_back(retain(static_cast<object *const *>(a)[i]));
      dictionary->keys.push_back(retain(static_cast<object *const *>(b)[i]));
    }
    return autorelease(dictionary);
  }
  unknown(o, op);
  return nullptr;
}

// A tensor the graph keeps; the caller gets it autoreleased.
object *graph_tensor(object *graph) {
  object *t = make(kind::tensor);
  graph->items.push_back(retain(t));
  return autorelease(t);
}

qz_objc_id send_id_u_id(qz_objc_id self, qz_objc_sel op, qz_objc_id a, uintptr_t b,
                        qz_objc_id c) {
  object *o = receiver(self, op);
  auto *arg = static_cast<object *>(a);
  if (!o) return nullptr;
  if (o->type == kind::graph && is(op, "placeholderWithShape:dataType:name:")) {
    if (!arg || arg->type != kind::array || arg->items.size() != 2 || arg->items[0]->number != 1 ||
        arg->items[1]->number != -1)
      violation("a placeholder not of shape [1, -1]");
    if (b != kFloat32) violation("a placeholder not of 32-bit floats");
    object *t = graph_tensor(o);
    t->data_type = b;
    return t;
  }
  if (o->type == kind::graph && is(op, "topKWithSourceTensor:k:name:")) {
    ++the_machine.graph_nodes;
    object *values = graph_tensor(o), *indices = graph_tensor(o);
    values->source = indices->source = arg;
    values->k = indices->k = b;
    indices->indices = true;
    object *pair = make(kind::array);
    pair->items = {retain(values), retain(indices)};
    return autorelease(pair);
  }
  (void)c;
  unknown(o, op);
  return nullptr;
}

qz_objc_id send_id_id_u(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                        uintptr_t c) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::tensor_data && is(op, "initWithMTLBuffer:shape:dataType:")) {
    if (c != kFloat32) violation("tensor data not of 32-bit floats");
    o->items = {retain(static_cast<object *>(a)), retain(static_cast<object *>(b))};
    return o;
  }
  unknown(o, op);
  return nullptr;
}

// The values and indices of a top-k tensor over the data fed for its input:
// larger values first, equal values in input order, NaNs last.
object *top_k_result(const object *tensor, const object *data) {
  const object *buffer = data->items[0], *shape = data->items[1];
  const auto n = static_cast<size_t>(shape->items[1]->number);
  const auto *x = reinterpret_cast<const float *>(buffer->external ? buffer->external
                                                                   : buffer->contents.data());
  std::vector<int32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<int32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
    return !std::isnan(x[a]) && (std::isnan(x[b]) || x[a] > x[b]);
  });
  object *result = make(kind::tensor_data);
  object *array = make(kind::ndarray);
  for (uint64_t i = 0; i < tensor->k && i < n; ++i) {
    const int32_t index = order[i];
    const auto *bytes = tensor->indices ? reinterpret_cast<const unsigned char *>(&index)
                                        : reinterpret_cast<const unsigned char *>(&x[index]);
    array->contents.insert(array->contents.end(), bytes, bytes + 4);
  }
  result->items = {nullptr, array};
  return result;
}

qz_objc_id send_id_id_id_id(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                            qz_objc_id c, qz_objc_id d) {
  object *o = receiver(self, op);
  auto *feeds = static_cast<object *>(b), *targets = static_cast<object *>(c);
  if (!o) return nullptr;
  if (o->type == kind::graph &&
      is(op, "runWithMTLCommandQueue:feeds:targetTensors:targetOperations:")) {
    if (!a || static_cast<object *>(a)->type != kind::queue) violation("a graph run without a queue");
    if (d) violation("target operations the backend never passes");
    ++the_machine.graph_runs;
    object *results = make(kind::dictionary);
    for (object *target : targets->items) {
      const object *data = nullptr;
      for (size_t i = 0; i < feeds->keys.size(); ++i)
        if (feeds->keys[i] == target->source) data = feeds->items[i];
      if (!data) {
        violation("a graph run without a feed for its input");
        continue;
      }
      results->keys.push_back(retain(target));
      results->items.push_back(top_k_result(target, data));
    }
    return autorelease(results);
  }
  unknown(o, op);
  return nullptr;
}

// Metal wraps memory without copying only on whole pages.
qz_objc_id send_ptr_u_u_id(qz_objc_id self, qz_objc_sel op, void *a, uintptr_t b, uintptr_t c,
                           qz_objc_id d) {
  object *o = receiver(self, op);
  if (!o) return nullptr;
  if (o->type == kind::device && is(op, "newBufferWithBytesNoCopy:length:options:deallocator:")) {
    if (d) violation("a deallocator the backend never passes");
    if (c != 0) violation("a buffer not in shared storage");
    constexpr uintptr_t page = 4096;
    if (the_machine.no_copy_whole_pages && (reinterpret_cast<uintptr_t>(a) % page || b % page))
      return nullptr;
    object *buffer = make(kind::buffer);
    buffer->external = static_cast<unsigned char *>(a);
    buffer->external_length = b;
    return buffer;
  }
  unknown(o, op);
  return nullptr;
}

void send_ptr_ptr(qz_objc_id self, qz_objc_sel op, void *a, const void *b) {
  object *o = receiver(self, op);
  if (!o) return;
  if (o->type == kind::ndarray && is(op, "readBytes:strideBytes:")) {
    if (b) violation("strides the backend never passes");
    std::memcpy(a, o->contents.data(), o->contents.size());
    return;
  }
  unknown(o, op);
}

bool load() { return the_machine.frameworks; }

qz_objc_id get_class(const char *name) {
  for (auto &o : all_objects)
    if (o->type == kind::cls && o->text == name) return o.get();
  object *c = make(kind::cls);
  c->text = name;
  return c;
}

qz_objc_sel sel(const char *name) {
  static std::set<std::string> *names = new std::set<std::string>;  // lives as long as selectors
  return names->insert(name).first->c_str();
}

qz_objc_id create_system_default_device() {
  const int index = the_machine.default_device;
  if (index < 0 || static_cast<size_t>(index) >= the_machine.devices.size()) return nullptr;
  return device_object(index);
}

qz_objc_id copy_all_devices() {
  object *array = make(kind::array);
  for (size_t i = 0; i < the_machine.devices.size(); ++i)
    array->items.push_back(device_object(static_cast<int>(i)));
  return array;
}

void *pool_push() {
  pools.emplace_back();
  return reinterpret_cast<void *>(pools.size());
}

void pool_pop(void *token) {
  const size_t depth = reinterpret_cast<size_t>(token);
  if (depth == 0 || depth > pools.size()) {
    violation("an autorelease pool popped out of order");
    return;
  }
  while (pools.size() >= depth) {
    std::vector<object *> objects = std::move(pools.back());
    pools.pop_back();
    for (object *o : objects) release(o);
  }
}

}  // namespace

machine &standin() { return the_machine; }

void reset() {
  pools.clear();
  all_objects.clear();
  the_machine = machine{};
}

uint64_t default_simd_width() {
  static const uint64_t width = [] {
    const char *text = std::getenv("QZ_METAL_SIMD_WIDTH");
    if (!text || !*text) return uint64_t{32};
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || (value != 8 && value != 16 && value != 32 && value != 64)) {
      std::fprintf(stderr, "metal stand-in: QZ_METAL_SIMD_WIDTH=%s is not 8, 16, 32 or 64\n",
                   text);
      std::abort();
    }
    return uint64_t{value};
  }();
  return width;
}

}  // namespace qz_metal_standin

using namespace qz_metal_standin;

extern const qz_ypu_metal_runtime_t QZ_YPU_METAL_RUNTIME = {
    load, get_class, sel, create_system_default_device, copy_all_devices, pool_push, pool_pop,
    send, send_uint, send_id, send_u, send_flag, send_u_u, send_str, send_str_u, send_id_err,
    send_id_id_err, send_id_u_u, send_ptr_u_u, send_size_size, send_copy, send_fill,
    graph_available, send_ptr_u, send_ptr_ptr_u, send_id_u_id, send_id_id_u, send_id_id_id_id,
    send_ptr_u_u_id, send_ptr_ptr,
};
