// The Metal backend's platform calls on macOS. Nothing of the object
// runtime or the frameworks is linked: the runtime, Foundation and Metal are
// opened and their functions looked up when a Metal call is first made, so
// the library loads in any process, and on a system without Metal "gpu"
// simply finds no device.
#include <dlfcn.h>

#include "ypu/metal/runtime.h"

namespace {

struct qz_objc_runtime_t {
  bool loaded;
  qz_objc_id (*get_class)(const char *name);
  qz_objc_sel (*sel_register_name)(const char *name);
  void (*msg_send)();  // objc_msgSend, called through the type of each form
  void *(*pool_push)();
  void (*pool_pop)(void *pool);
  qz_objc_id (*create_system_default_device)();
  qz_objc_id (*copy_all_devices)();
};

template <class T>
bool look_up(void *library, const char *name, T *function) {
  *function = library ? reinterpret_cast<T>(dlsym(library, name)) : nullptr;
  return *function != nullptr;
}

qz_objc_runtime_t qz_objc_runtime_load() {
  qz_objc_runtime_t r{};
  constexpr int mode = RTLD_LAZY | RTLD_LOCAL;
  void *objc = dlopen("/usr/lib/libobjc.A.dylib", mode);
  // Foundation provides NSString and NSArray; Metal the device and its objects.
  void *foundation = dlopen("/System/Library/Frameworks/Foundation.framework/Foundation", mode);
  // MTLCreateSystemDefaultDevice gives a process its default device only
  // once CoreGraphics is loaded, which a command-line program that links
  // nothing graphical never does; it is opened first. A system without it
  // costs only the default device, which open reports.
  dlopen("/System/Library/Frameworks/CoreGraphics.framework/CoreGraphics", mode);
  void *metal = dlopen("/System/Library/Frameworks/Metal.framework/Metal", mode);
  r.loaded = foundation && look_up(objc, "objc_getClass", &r.get_class) &&
             look_up(objc, "sel_registerName", &r.sel_register_name) &&
             look_up(objc, "objc_msgSend", &r.msg_send) &&
             look_up(objc, "objc_autoreleasePoolPush", &r.pool_push) &&
             look_up(objc, "objc_autoreleasePoolPop", &r.pool_pop) &&
             look_up(metal, "MTLCreateSystemDefaultDevice", &r.create_system_default_device) &&
             look_up(metal, "MTLCopyAllDevices", &r.copy_all_devices);
  return r;
}

// Loaded once; the libraries stay for the life of the process. The backend
// calls load() before anything else, and nothing else once it fails.
const qz_objc_runtime_t &runtime() {
  static const qz_objc_runtime_t r = qz_objc_runtime_load();
  return r;
}

bool load() { return runtime().loaded; }
qz_objc_id create_system_default_device() { return runtime().create_system_default_device(); }
qz_objc_id copy_all_devices() { return runtime().copy_all_devices(); }
qz_objc_id get_class(const char *name) { return runtime().get_class(name); }
qz_objc_sel sel(const char *name) { return runtime().sel_register_name(name); }
void *pool_push() { return runtime().loaded ? runtime().pool_push() : nullptr; }
void pool_pop(void *pool) {
  if (pool) runtime().pool_pop(pool);
}

// objc_msgSend called through the function type of each argument list.
template <class R, class... A>
R message(qz_objc_id self, qz_objc_sel op, A... args) {
  using fn = R (*)(qz_objc_id, qz_objc_sel, A...);
  return reinterpret_cast<fn>(runtime().msg_send)(self, op, args...);
}

qz_objc_id send(qz_objc_id s, qz_objc_sel op) { return message<qz_objc_id>(s, op); }
uintptr_t send_uint(qz_objc_id s, qz_objc_sel op) { return message<uintptr_t>(s, op); }
qz_objc_id send_id(qz_objc_id s, qz_objc_sel op, qz_objc_id a) {
  return message<qz_objc_id>(s, op, a);
}
qz_objc_id send_u(qz_objc_id s, qz_objc_sel op, uintptr_t a) { return message<qz_objc_id>(s, op, a); }
void send_flag(qz_objc_id s, qz_objc_sel op, signed char a) { message<void>(s, op, a); }
qz_objc_id send_u_u(qz_objc_id s, qz_objc_sel op, uintptr_t a, uintptr_t b) {
  return message<qz_objc_id>(s, op, a, b);
}
qz_objc_id send_str(qz_objc_id s, qz_objc_sel op, const char *a) {
  return message<qz_objc_id>(s, op, a);
}
qz_objc_id send_str_u(qz_objc_id s, qz_objc_sel op, const char *a, uintptr_t b) {
  return message<qz_objc_id>(s, op, a, b);
}
qz_objc_id send_id_err(qz_objc_id s, qz_objc_sel op, qz_objc_id a, qz_objc_id *error) {
  return message<qz_objc_id>(s, op, a, error);
}
qz_objc_id send_id_id_err(qz_objc_id s, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                          qz_objc_id *error) {
  return message<qz_objc_id>(s, op, a, b, error);
}
void send_id_u_u(qz_objc_id s, qz_objc_sel op, qz_objc_id a, uintptr_t b, uintptr_t c) {
  message<void>(s, op, a, b, c);
}
void send_ptr_u_u(qz_objc_id s, qz_objc_sel op, const void *a, uintptr_t b, uintptr_t c) {
  message<void>(s, op, a, b, c);
}
void send_size_size(qz_objc_id s, qz_objc_sel op, qz_mtl_size_t a, qz_mtl_size_t b) {
  message<void>(s, op, a, b);
}
void send_copy(qz_objc_id s, qz_objc_sel op, qz_objc_id source, uintptr_t source_offset,
               qz_objc_id destination, uintptr_t destination_offset, uintptr_t size) {
  message<void>(s, op, source, source_offset, destination, destination_offset, size);
}
void send_fill(qz_objc_id s, qz_objc_sel op, qz_objc_id buffer, qz_ns_range_t range,
               unsigned char value) {
  message<void>(s, op, buffer, range, value);
}

// The graph framework is opened on first use, on systems that have it.
bool graph_available() {
  if (__builtin_available(macOS 11.0, *)) {
    static const bool loaded =
        runtime().loaded &&
        dlopen("/System/Library/Frameworks/MetalPerformanceShadersGraph.framework/"
               "MetalPerformanceShadersGraph",
               RTLD_LAZY | RTLD_LOCAL) != nullptr &&
        runtime().get_class("MPSGraph") != nullptr;
    return loaded;
  }
  return false;
}
qz_objc_id send_ptr_u(qz_objc_id s, qz_objc_sel op, const void *a, uintptr_t b) {
  return message<qz_objc_id>(s, op, a, b);
}
qz_objc_id send_ptr_ptr_u(qz_objc_id s, qz_objc_sel op, const void *a, const void *b,
                          uintptr_t c) {
  return message<qz_objc_id>(s, op, a, b, c);
}
qz_objc_id send_id_u_id(qz_objc_id s, qz_objc_sel op, qz_objc_id a, uintptr_t b, qz_objc_id c) {
  return message<qz_objc_id>(s, op, a, b, c);
}
qz_objc_id send_id_id_u(qz_objc_id s, qz_objc_sel op, qz_objc_id a, qz_objc_id b, uintptr_t c) {
  return message<qz_objc_id>(s, op, a, b, c);
}
qz_objc_id send_id_id_id_id(qz_objc_id s, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                            qz_objc_id c, qz_objc_id d) {
  return message<qz_objc_id>(s, op, a, b, c, d);
}
qz_objc_id send_ptr_u_u_id(qz_objc_id s, qz_objc_sel op, void *a, uintptr_t b, uintptr_t c,
                           qz_objc_id d) {
  return message<qz_objc_id>(s, op, a, b, c, d);
}
void send_ptr_ptr(qz_objc_id s, qz_objc_sel op, void *a, const void *b) {
  message<void>(s, op, a, b);
}

}  // namespace

extern const qz_ypu_metal_runtime_t QZ_YPU_METAL_RUNTIME = {
    load,      get_class,   sel,        create_system_default_device,
    copy_all_devices,       pool_push,                  pool_pop,
    send,      send_uint,   send_id,    send_u,
    send_flag, send_u_u,    send_str,   send_str_u,
    send_id_err,            send_id_id_err,             send_id_u_u,
    send_ptr_u_u,           send_size_size,             send_copy,
    send_fill,
    graph_available,        send_ptr_u,                 send_ptr_ptr_u,
    send_id_u_id,           send_id_id_u,               send_id_id_id_id,
    send_ptr_u_u_id,        send_ptr_ptr,
};
