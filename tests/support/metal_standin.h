// A stand-in for the Metal framework, Foundation and the object runtime
// behind the Metal backend's seam (src/ypu/metal/runtime.h), for tests on
// Linux. Its objects are plain records with reference counts; command
// buffers record their commands and run them when they (or a later buffer
// of their queue) are waited for, in commit order, so a missing
// synchronisation shows as stale data. Compute passes run the harness's
// Metal kernels (gpu_harness/metal_launch.h); copies and fills run here.
//
// It checks what the real framework would refuse and notes each breach in
// `violations`: an encoder left open at a commit or at its release, two
// encoders open on one command buffer, commands on an ended encoder,
// threadgroups that are empty or larger than the pipeline allows,
// threadgroup memory beyond the device's limit (the kernel's own arrays
// counted) or set in lengths that are not multiples of 16, blit
// offsets or sizes that are not multiples of 4, empty fills, copies outside
// a buffer, messages to released objects, objects autoreleased with no pool.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qz_metal_standin {

// One recorded dispatch, for tests of the sizes an entry chose.
struct dispatch_record {
  std::string kernel;
  bool threadgroups;  // dispatchThreadgroups (else dispatchThreads)
  uint64_t grid[3];   // threads, or threadgroups
  uint64_t group[3];  // threads per threadgroup
};

// The SIMD width of the fake GPU: QZ_METAL_SIMD_WIDTH (8, 16, 32 or 64)
// when set, else 32. The test group runs at several widths (the GPUs of
// x86-64 Macs have SIMD-groups of 8 to 64 lanes).
uint64_t default_simd_width();

struct machine {
  // --- what the fake system has (set before the code under test runs) ---
  bool frameworks = true;                  // Metal can be loaded
  std::vector<std::string> devices{"Stand-in GPU"};  // MTLCopyAllDevices, in order
  int default_device = 0;                  // index in `devices`; -1: none
  bool queue_fails = false;                // newCommandQueue returns nil
  bool library_fails = false;              // newLibraryWithSource fails
  std::string compiler_message;            // every NSError's localizedDescription ("": none)
  std::set<std::string> missing_functions; // newFunctionWithName: returns nil
  std::set<std::string> failing_pipelines; // pipeline state not made
  bool buffers_fail = false;               // newBufferWithLength: returns nil (as for length 0)
  bool command_buffers_fail = false;       // commandBuffer returns nil
  bool encoders_fail = false;              // compute/blitCommandEncoder return nil
  bool gpu_error = false;                  // command buffers end with an error
  // Every pipeline's threadExecutionWidth, and so the width of the SIMD-groups
  // its kernel runs in.
  uint64_t thread_execution_width = default_simd_width();
  uint64_t max_threads_per_threadgroup = 1024;
  // The device's maxThreadgroupMemoryLength.
  uint64_t max_threadgroup_memory = 32768;
  // Each pipeline's staticThreadgroupMemoryLength, by kernel: the bytes of
  // the `qz_threadgroup` arrays the kernel declares (the harness keeps those
  // as thread-local statics, so they are listed here; 0 for the others).
  std::map<std::string, uint64_t> static_threadgroup_memory{
      {"taabe300", 2 * 32 * 4},                     // blocked attention
      {"taabe328", 8 * 4},                          // conv2d
      {"taabe164", 64 * 4},                         // RMS norm
      {"taabe160", 1024 * 8 + 1024 * 4},            // fixed-point softmax
      // The low-bit GEMMs: 256 floats, 2048 bytes and twice 16 floats.
      {"taabe130", 3200}, {"taabe124", 3200}, {"taabe289", 3200}, {"taabe59", 3200},
      {"taabe78", 3200},  {"taabe55", 3200},  {"taabe271", 3200}, {"taabe39", 3200},
  };
  bool graph_framework = true;             // the system is macOS 11 or later
  bool no_copy_whole_pages = true;         // no-copy buffers only over whole pages

  // --- what happened ---
  int commits = 0;
  int waits = 0;
  int executed = 0;                   // command buffers run
  std::vector<std::string> labels;    // every setLabel:, in order
  std::vector<dispatch_record> dispatches;
  int copies = 0;  // blit copies recorded
  int fills = 0;   // blit fills recorded
  std::vector<std::string> pipelines_made;      // kernel names, in order
  std::vector<std::string> pipelines_released;  // kernel names, in order
  std::vector<std::string> violations;
  std::string library_source;         // the text handed to newLibraryWithSource
  uint64_t language_version = 0;
  bool fast_math = false;
  int64_t live_objects = 0;           // objects made and not yet deallocated
  int graph_runs = 0;                 // graph framework runs
  int graph_nodes = 0;                // top-k nodes added to graphs
};

// The fake system. reset() restores the defaults and frees every record
// (call between tests; live_objects should be 0 before it).
machine &standin();
void reset();

}  // namespace qz_metal_standin
