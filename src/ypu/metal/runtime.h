// The platform calls of the Metal backend, behind a table of function
// pointers: the object runtime (classes, selectors, message sends in the
// typed forms the backend uses, autorelease pools) and the two Metal C
// functions. The macOS build fills it from the system (src/platform/macos/);
// the Linux tests fill it with a stand-in whose objects are plain records, so
// the backend's logic runs and is checked here.
#pragma once

#include <stdint.h>

// An object reference (id), a class and a selector (SEL) of the object
// runtime, all opaque to the backend.
using qz_objc_id = void *;
using qz_objc_sel = const void *;

// MTLSize and NSRange, laid out as the platform's structures.
struct qz_mtl_size_t {
  uintptr_t width, height, depth;
};
struct qz_ns_range_t {
  uintptr_t location, length;
};

struct qz_ypu_metal_runtime_t {
  // The frameworks' entry points; false when Metal is not on the system.
  bool (*load)();
  qz_objc_id (*get_class)(const char *name);
  qz_objc_sel (*sel)(const char *name);
  qz_objc_id (*create_system_default_device)();  // +1, or null
  qz_objc_id (*copy_all_devices)();              // +1 NSArray, or null
  void *(*pool_push)();
  void (*pool_pop)(void *pool);

  // objc_msgSend, one form per argument list. Results that are not
  // objects (counts, sizes, C strings, contents pointers) come back through
  // the forms returning uintptr_t or void *.
  qz_objc_id (*send)(qz_objc_id self, qz_objc_sel op);
  uintptr_t (*send_uint)(qz_objc_id self, qz_objc_sel op);
  qz_objc_id (*send_id)(qz_objc_id self, qz_objc_sel op, qz_objc_id a);
  qz_objc_id (*send_u)(qz_objc_id self, qz_objc_sel op, uintptr_t a);
  void (*send_flag)(qz_objc_id self, qz_objc_sel op, signed char a);  // BOOL setters
  qz_objc_id (*send_u_u)(qz_objc_id self, qz_objc_sel op, uintptr_t a, uintptr_t b);
  qz_objc_id (*send_str)(qz_objc_id self, qz_objc_sel op, const char *a);
  qz_objc_id (*send_str_u)(qz_objc_id self, qz_objc_sel op, const char *a, uintptr_t b);
  qz_objc_id (*send_id_err)(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id *error);
  qz_objc_id (*send_id_id_err)(qz_objc_id self, qz_objc_sel op, qz_objc_id a, qz_objc_id b,
                               qz_objc_id *error);
  void (*send_id_u_u)(qz_objc_id self, qz_objc_sel op, qz_objc_id a, uintptr_t b, uintptr_t c);
  void (*send_ptr_u_u)(qz_objc_id self, qz_objc_sel op, const void *a, uintptr_t b, uintptr_t c);
  void (*send_size_size)(qz_objc_id self, qz_objc_sel op, qz_mtl_size_t a, qz_mtl_size_t b);
  void (*send_copy)(qz_objc_id self, qz_objc_sel op, qz_objc_id source, uintptr_t source_offset,
                    qz_objc_id destination, uintptr_t destination_offset, uintptr_t size);
  void (*send_fill)(qz_objc_id self, qz_objc_sel op, qz_objc_id buffer, qz_ns_range_t range,
                    unsigned char value);
};

// The system's table (macOS) or the tests' stand-in: exactly one of them is
// linked with the backend.
extern const qz_ypu_metal_runtime_t QZ_YPU_METAL_RUNTIME;
