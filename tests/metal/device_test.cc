// The Metal device on the stand-in: opening and its failures, the device
// list, buffers, the command-buffer batching and the dispatch helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/error_stack.h"
#include "support/metal_standin.h"
#include "support/metal_test.h"
#include "ypu/metal/device.h"
#include "test_paths.h"

namespace {

using qz_metal_standin::standin;

const std::string kInvalidIndex = "0633a7d 00000065: Argument `device_index` is invalid.";
const std::string kNoDevice = "0633a7d 0000033E: Failed to get device.";
const std::string kNoQueue = "0633a7d 0000033F: Failed to get device.";
const std::string kLibrary = "0633a7d 00000340: Failed to load device specific code.";
const std::string kChain = "0633a7d 00000320: Velthrane Error.";
const std::string kPipeline = "0633a7d 00000341: Failed to load device specific code.";
const std::string kState = "0633a7d 00000343: Device state error.";
const std::string kThreadgroup = "0633a7d 00000344: Device state error.";
const std::string kCommunicate = "0633a7d 00000334: Failed to communicate with device.";

class MetalDevice : public MetalTest {};

// An open device with the add_f32 pipeline and three 4-float buffers.
struct open_device {
  qz_ypu_metal_device_t *device = nullptr;
  qz_ypu_metal_pipeline_t *add = nullptr;
  qz_ypu_buffer_t *out = nullptr, *a = nullptr, *b = nullptr;

  open_device() {
    EXPECT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_SUCCESS);
    EXPECT_EQ(qz_ypu_metal_pipeline_create(device, "taabe69", &add), QZ_STATUS_SUCCESS);
    out = qz_ypu_metal_buffer_create(device, 16, 0);
    a = qz_ypu_metal_buffer_create(device, 16, 0);
    b = qz_ypu_metal_buffer_create(device, 16, 0);
    const float ones[4] = {1, 1, 1, 1}, zeros[4] = {};
    qz_ypu_metal_buffer_upload(device, a, ones, 0, 16);
    qz_ypu_metal_buffer_upload(device, b, ones, 0, 16);
    qz_ypu_metal_buffer_upload(device, out, zeros, 0, 16);
  }
  ~open_device() {
    qz_ypu_metal_buffer_free(device, out);
    qz_ypu_metal_buffer_free(device, a);
    qz_ypu_metal_buffer_free(device, b);
    qz_ypu_metal_pipeline_release(device, add);
    qz_ypu_metal_device_close(device);
  }

  // out = a + b over 4 floats, one compute pass.
  qz_status_t add_pass() {
    const int32_t count = 4;
    qz_ypu_metal_begin_compute(device, add);
    qz_ypu_metal_set_bytes(device, &count, 4, 0);
    qz_ypu_metal_set_buffer(device, out, 0, 1);
    qz_ypu_metal_set_buffer(device, a, 0, 2);
    qz_ypu_metal_set_buffer(device, b, 0, 3);
    return qz_ypu_metal_dispatch_threads(device, add, 4, 1, 1);
  }
  // a = out: a blit pass, so the next add sees the last result.
  qz_status_t copy_pass() {
    qz_ypu_metal_begin_blit(device);
    QZ_YPU_METAL_RUNTIME.send_copy(
        qz_ypu_metal_get_blit_encoder(device),
        QZ_YPU_METAL_RUNTIME.sel("copyFromBuffer:sourceOffset:toBuffer:destinationOffset:size:"),
        qz_ypu_metal_buffer_object(out), 0, qz_ypu_metal_buffer_object(a), 0, 16);
    return qz_ypu_metal_end_blit(device);
  }
  std::vector<float> download(qz_ypu_buffer_t *buffer) {
    std::vector<float> v(4);
    EXPECT_EQ(qz_ypu_metal_buffer_download(device, buffer, v.data(), 0, 16), QZ_STATUS_SUCCESS);
    return v;
  }
};

// The program text the build should embed: the prelude, the fixed-point
// tables' values and definitions, the float tests, then every other kernel file in name
// order, each followed by a newline.
std::string expected_program() {
  const std::filesystem::path folder = std::filesystem::path(QZ_SOURCE_DIR) / "src/ypu/metal/kernels";
  std::vector<std::filesystem::path> files;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".metal" && entry.path().filename() != "prelude.metal" &&
        entry.path().filename() != "fixed_point_tables.metal" &&
        entry.path().filename() != "float_bits.metal")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  files.insert(files.begin(), {folder / "prelude.metal",
                               std::filesystem::path(QZ_SOURCE_DIR) / "src/ypu/fixed_point_tables.inc",
                               folder / "fixed_point_tables.metal", folder / "float_bits.metal"});
  std::string text;
  for (const auto &file : files) {
    std::ifstream in(file, std::ios::binary);
    text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    text += '\n';
  }
  return text;
}

TEST_F(MetalDevice, OpensTheDefaultDeviceWithTheEmbeddedProgram) {
  {
    open_device d;
    EXPECT_TRUE(take_error_stack().empty());
    EXPECT_EQ(standin().language_version, (3u << 16) + 0) << "Metal 3.0";
    EXPECT_TRUE(standin().fast_math);
    // The library is built from the whole embedded text.
    EXPECT_EQ(std::strlen(qz_ypu_metal_library_data), qz_ypu_metal_library_size);
    EXPECT_EQ(standin().library_source, expected_program());
    EXPECT_NE(standin().library_source.find("taabe69"), std::string::npos);
  }
  qz_ypu_metal_device_close(nullptr);
}

struct open_failure {
  const char *name;
  int32_t index;
  void (*arrange)(qz_metal_standin::machine &);
  qz_status_t status;
  std::vector<std::string> messages;
};

class MetalDeviceOpenFailure : public MetalDevice,
                               public ::testing::WithParamInterface<open_failure> {};

TEST_P(MetalDeviceOpenFailure, ReportsAndLeavesNothing) {
  const open_failure &c = GetParam();
  c.arrange(standin());
  auto *const sentinel = reinterpret_cast<qz_ypu_metal_device_t *>(0x5A5A);
  qz_ypu_metal_device_t *device = sentinel;
  EXPECT_EQ(qz_ypu_metal_device_open(c.index, &device), c.status);
  EXPECT_EQ(device, sentinel) << "*out untouched";
  EXPECT_EQ(take_error_stack(), c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalDeviceOpenFailure,
    ::testing::Values(
        open_failure{"IndexOne", 1, [](qz_metal_standin::machine &) {},
                     QZ_STATUS_INVALID_ARGUMENT, {kInvalidIndex}},
        // Index 1 is refused even where the list shows a second device.
        open_failure{"IndexOneOfTwo", 1,
                     [](qz_metal_standin::machine &m) { m.devices = {"A", "B"}; },
                     QZ_STATUS_INVALID_ARGUMENT, {kInvalidIndex}},
        open_failure{"NegativeIndex", -1, [](qz_metal_standin::machine &) {},
                     QZ_STATUS_INVALID_ARGUMENT, {kInvalidIndex}},
        open_failure{"NoMetal", 0, [](qz_metal_standin::machine &m) { m.frameworks = false; },
                     QZ_STATUS_RUNTIME_ERROR, {kNoDevice}},
        open_failure{"NoDevice", 0,
                     [](qz_metal_standin::machine &m) {
                       m.devices.clear();
                       m.default_device = -1;
                     },
                     QZ_STATUS_RUNTIME_ERROR, {kNoDevice}},
        open_failure{"NoQueue", 0, [](qz_metal_standin::machine &m) { m.queue_fails = true; },
                     QZ_STATUS_RUNTIME_ERROR, {kNoQueue}},
        open_failure{"NoLibrary", 0, [](qz_metal_standin::machine &m) { m.library_fails = true; },
                     QZ_STATUS_RUNTIME_ERROR, {kLibrary, kChain}}),
    [](const auto &info) { return std::string(info.param.name); });

// A program the compiler rejects: its message comes first, quoted (control
// bytes, newlines among them, and bytes that are not UTF-8 as \xNN) and cut
// to 255 bytes from its end, so the first error of a long log survives;
// the records of the failed open follow unchanged.
struct compiler_case {
  const char *name;
  std::string message, quoted;
};

class MetalCompilerMessage : public MetalDevice,
                             public ::testing::WithParamInterface<compiler_case> {};

TEST_P(MetalCompilerMessage, ComesBeforeTheLibraryRecords) {
  const compiler_case &c = GetParam();
  standin().library_fails = true;
  standin().compiler_message = c.message;
  qz_ypu_metal_device_t *device = nullptr;
  EXPECT_EQ(qz_ypu_metal_device_open(0, &device), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(take_error_stack(),
            (std::vector<std::string>{
                "0633a7d 00000342: The Metal compiler rejected the library: " + c.quoted, kLibrary,
                kChain}));
}

const std::string kFirstError = "program_source:7:5: error: unknown type name 'atomic_float'";

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalCompilerMessage,
    ::testing::Values(
        compiler_case{"OneLine", "Metal 3.0 is not supported", "Metal 3.0 is not supported"},
        compiler_case{"MultiLine", kFirstError + "\n    atomic_float x;\n    ^\n",
                      kFirstError + "\\x0A    atomic_float x;\\x0A    ^\\x0A"},
        compiler_case{"ControlAndInvalidBytes", "\x1B[1merror\x1B[0m: bad \xFF byte",
                      "\\x1B[1merror\\x1B[0m: bad \\xFF byte"},
        // 59 + 4 bytes of the first line and its newline, then 189 of the
        // 400 that follow, and "...": 255 bytes.
        compiler_case{"LongerThanTheBound", kFirstError + "\n" + std::string(400, 'y'),
                      kFirstError + "\\x0A" + std::string(189, 'y') + "..."}),
    [](const auto &info) { return std::string(info.param.name); });

struct list_case {
  const char *name;
  std::vector<std::string> devices;
  int default_device;
  std::vector<std::string> lines;
};

class MetalDeviceList : public MetalDevice, public ::testing::WithParamInterface<list_case> {};

TEST_P(MetalDeviceList, NamesEveryDeviceTheDefaultFirst) {
  const list_case &c = GetParam();
  standin().devices = c.devices;
  standin().default_device = c.default_device;
  char **list = nullptr;
  int32_t count = -1;
  ASSERT_EQ(qz_ypu_metal_device_list(&list, &count), QZ_STATUS_SUCCESS);
  ASSERT_NE(list, nullptr) << "an array even without devices";
  ASSERT_EQ(count, static_cast<int32_t>(c.lines.size()));
  for (int32_t i = 0; i < count; ++i) EXPECT_EQ(list[i], c.lines[static_cast<size_t>(i)]);
  qz_ypu_metal_device_list_free(list, count);
  qz_ypu_metal_device_list_free(nullptr, 3);
  EXPECT_TRUE(take_error_stack().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalDeviceList,
    ::testing::Values(list_case{"NoDevice", {}, -1, {}},
                      list_case{"One", {"Radeon Pro 560X"}, 0, {"gpu:0 - Radeon Pro 560X"}},
                      // "gpu:0" opens the system default device, so it is listed as 0.
                      list_case{"DefaultLast",
                                {"Intel UHD Graphics 630", "AMD Radeon Pro 5500M", "eGPU"},
                                2,
                                {"gpu:0 - eGPU", "gpu:1 - Intel UHD Graphics 630",
                                 "gpu:2 - AMD Radeon Pro 5500M"}},
                      list_case{"DefaultSecond",
                                {"A", "B", "C"},
                                1,
                                {"gpu:0 - B", "gpu:1 - A", "gpu:2 - C"}},
                      list_case{"NoDefault", {"A", "B"}, -1, {"gpu:0 - A", "gpu:1 - B"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MetalDevice, ListWithoutMetalIsEmpty) {
  standin().frameworks = false;
  char **list = nullptr;
  int32_t count = -1;
  ASSERT_EQ(qz_ypu_metal_device_list(&list, &count), QZ_STATUS_SUCCESS);
  EXPECT_NE(list, nullptr);
  EXPECT_EQ(count, 0);
  qz_ypu_metal_device_list_free(list, count);
}

// Passes encoded, then what the command buffers went through.
struct batch_case {
  const char *name;
  const char *passes;  // 'c' compute, 'b' blit, 's' synchronize
  int commits;
  int waits;
  std::vector<std::string> labels;
  int32_t ended_encoders;
};

class MetalBatching : public MetalDevice, public ::testing::WithParamInterface<batch_case> {};

TEST_P(MetalBatching, CommitsEveryFourthPass) {
  const batch_case &c = GetParam();
  open_device d;
  const int commits_before = standin().commits, waits_before = standin().waits;
  for (const char *p = c.passes; *p; ++p) {
    const qz_status_t status = *p == 'c'   ? d.add_pass()
                               : *p == 'b' ? d.copy_pass()
                                           : qz_ypu_metal_synchronize(d.device);
    ASSERT_EQ(status, QZ_STATUS_SUCCESS) << "step " << (p - c.passes);
  }
  EXPECT_EQ(standin().commits - commits_before, c.commits);
  EXPECT_EQ(standin().waits - waits_before, c.waits);
  EXPECT_EQ(standin().labels, c.labels);
  EXPECT_EQ(d.device->ended_encoders, c.ended_encoders);
  EXPECT_EQ(d.device->compute_encoder, nullptr);
  EXPECT_EQ(d.device->blit_encoder, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalBatching,
    ::testing::Values(
        batch_case{"ThreePasses", "ccc", 0, 0, {"taabe69"}, 3},
        batch_case{"FourPasses", "cccc", 1, 0, {"taabe69"}, 0},
        // The fifth pass starts a new command buffer, labelled with its kernel.
        batch_case{"FivePasses", "ccccc", 1, 0, {"taabe69", "taabe69"}, 1},
        batch_case{"BlitsCountAlike", "cbcb", 1, 0, {"taabe69"}, 0},
        // A command buffer started by a blit has no label.
        batch_case{"BlitFirst", "bccc" "bc", 1, 0, {}, 2},
        // A synchronisation commits early and keeps the count: two more
        // passes then fill the four.
        batch_case{"SyncAfterTwo", "ccscc", 2, 1, {"taabe69", "taabe69"}, 0},
        batch_case{"SyncAfterTwoThenOne", "ccsc", 1, 1, {"taabe69", "taabe69"}, 3},
        batch_case{"SyncWithNothingOpen", "cccc" "s", 1, 1, {"taabe69"}, 0},
        batch_case{"SyncAlone", "s", 0, 0, {}, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MetalDevice, DownloadWaitsForTheWorkEncodedBeforeIt) {
  open_device d;
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);  // out = 2
  ASSERT_EQ(d.copy_pass(), QZ_STATUS_SUCCESS);  // a = 2
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);  // out = 3
  // Nothing has run yet: the GPU works only once the host waits.
  float stale[4];
  std::memcpy(stale, QZ_YPU_METAL_RUNTIME.send(qz_ypu_metal_buffer_object(d.out),
                                               QZ_YPU_METAL_RUNTIME.sel("contents")),
              sizeof stale);
  EXPECT_EQ(stale[0], 0.0f);
  EXPECT_EQ(d.download(d.out), (std::vector<float>{3, 3, 3, 3}));
  EXPECT_EQ(standin().commits, 1);
  EXPECT_EQ(d.device->command_buffer, nullptr);
  EXPECT_EQ(d.device->committed_buffer, nullptr);
}

TEST_F(MetalDevice, MapAndUploadWaitToo) {
  open_device d;
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  auto *mapped = static_cast<float *>(qz_ypu_metal_buffer_map(d.device, d.out, 1));
  ASSERT_NE(mapped, nullptr);
  EXPECT_EQ(mapped[3], 2.0f);
  mapped[3] = 7;  // shared storage: seen by later GPU work and downloads
  qz_ypu_metal_buffer_unmap(d.device, d.out, 1);
  EXPECT_EQ(d.download(d.out)[3], 7.0f);

  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  const float fives[4] = {5, 5, 5, 5};
  // The upload lands after the pass encoded before it, not under it.
  ASSERT_EQ(qz_ypu_metal_buffer_upload(d.device, d.out, fives, 0, 16), QZ_STATUS_SUCCESS);
  EXPECT_EQ(d.download(d.out), (std::vector<float>{5, 5, 5, 5}));
}

TEST_F(MetalDevice, CopiesOutsideTheBufferAreRefused) {
  open_device d;
  float v[8] = {};
  struct {
    int32_t offset, length;
  } cases[] = {{0, 17}, {4, 13}, {-4, 4}, {0, -1}, {17, 0}};
  for (const auto &c : cases) {
    EXPECT_EQ(qz_ypu_metal_buffer_upload(d.device, d.out, v, c.offset, c.length),
              QZ_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(qz_ypu_metal_buffer_download(d.device, d.out, v, c.offset, c.length),
              QZ_STATUS_INVALID_ARGUMENT);
  }
  EXPECT_EQ(qz_ypu_metal_buffer_download(d.device, d.out, v, 16, 0), QZ_STATUS_SUCCESS);
  take_error_stack();
}

TEST_F(MetalDevice, BuffersAreSharedAndKeepTheirSizeAndFlags) {
  open_device d;
  qz_ypu_buffer_t *buffer = qz_ypu_metal_buffer_create(d.device, 12, 7);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(qz_ypu_metal_buffer_size(d.device, buffer), 12);
  EXPECT_EQ(reinterpret_cast<qz_ypu_metal_buffer_t *>(buffer)->flags, 7);
  qz_ypu_metal_buffer_free(d.device, buffer);
  qz_ypu_metal_buffer_free(d.device, nullptr);
  // Metal has no empty buffers; the layer may still ask for one.
  qz_ypu_buffer_t *empty = qz_ypu_metal_buffer_create(d.device, 0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(qz_ypu_metal_buffer_size(d.device, empty), 0);
  EXPECT_EQ(qz_ypu_metal_buffer_download(d.device, empty, nullptr, 0, 0), QZ_STATUS_SUCCESS);
  qz_ypu_metal_buffer_free(d.device, empty);
  standin().buffers_fail = true;
  EXPECT_EQ(qz_ypu_metal_buffer_create(d.device, 12, 0), nullptr);
  EXPECT_EQ(qz_ypu_metal_buffer_create(d.device, -1, 0), nullptr);
  EXPECT_TRUE(take_error_stack().empty()) << "buffer creation fails silently";
  void *p = qz_ypu_metal_host_alloc(d.device, 24);
  EXPECT_NE(p, nullptr);
  qz_ypu_metal_host_free(d.device, p);
}

TEST_F(MetalDevice, FreeingABufferInUseIsSafe) {
  open_device d;
  qz_ypu_buffer_t *extra = qz_ypu_metal_buffer_create(d.device, 16, 0);
  const int32_t count = 4;
  qz_ypu_metal_begin_compute(d.device, d.add);
  qz_ypu_metal_set_bytes(d.device, &count, 4, 0);
  qz_ypu_metal_set_buffer(d.device, d.out, 0, 1);
  qz_ypu_metal_set_buffer(d.device, extra, 0, 2);
  qz_ypu_metal_set_buffer(d.device, d.b, 0, 3);
  ASSERT_EQ(qz_ypu_metal_dispatch_threads(d.device, d.add, 4, 1, 1), QZ_STATUS_SUCCESS);
  qz_ypu_metal_buffer_free(d.device, extra);  // the command buffer keeps it alive
  d.download(d.out);
}

TEST_F(MetalDevice, CloseDropsUncommittedWork) {
  {
    open_device d;
    ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
    ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  }
  EXPECT_EQ(standin().commits, 0);
  EXPECT_EQ(standin().executed, 0);
}

TEST_F(MetalDevice, GpuFailureIsReportedAtTheWait) {
  open_device d;
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  standin().gpu_error = true;
  float v[4];
  EXPECT_EQ(qz_ypu_metal_buffer_download(d.device, d.out, v, 0, 16), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kCommunicate});
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  EXPECT_EQ(qz_ypu_metal_buffer_map(d.device, d.out, 1), nullptr);
  take_error_stack();
}

struct sizing_case {
  const char *name;
  uint64_t width, max_threads;
  uint32_t grid_x;
  int32_t grid_y;
  uint32_t grid_z;
  bool dispatched;
  uint64_t group[3];
};

class MetalDispatchThreads : public MetalDevice,
                             public ::testing::WithParamInterface<sizing_case> {};

TEST_P(MetalDispatchThreads, ThreadgroupIsOneRunWideAndAsTallAsAllowed) {
  const sizing_case &c = GetParam();
  standin().thread_execution_width = c.width;
  standin().max_threads_per_threadgroup = c.max_threads;
  open_device d;
  qz_ypu_metal_begin_compute(d.device, d.add);
  EXPECT_EQ(qz_ypu_metal_thread_execution_width(d.device, d.add), c.width);
  EXPECT_EQ(qz_ypu_metal_max_threads_per_threadgroup(d.device, d.add), c.max_threads);
  EXPECT_EQ(qz_ypu_metal_dispatch_threads(d.device, d.add, c.grid_x, c.grid_y, c.grid_z),
            QZ_STATUS_SUCCESS);
  EXPECT_EQ(d.device->compute_encoder, nullptr) << "the dispatch ends the encoder";
  EXPECT_EQ(d.device->ended_encoders, 1);
  ASSERT_EQ(standin().dispatches.size(), c.dispatched ? 1u : 0u);
  if (c.dispatched) {
    const auto &r = standin().dispatches[0];
    EXPECT_FALSE(r.threadgroups);
    EXPECT_EQ(r.grid[0], c.grid_x);
    EXPECT_EQ(r.grid[1], static_cast<uint64_t>(c.grid_y));
    EXPECT_EQ(r.grid[2], c.grid_z);
    EXPECT_EQ(std::vector<uint64_t>(r.group, r.group + 3),
              std::vector<uint64_t>(c.group, c.group + 3));
  }
  // Nothing is bound: closing drops the pass before it would run.
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalDispatchThreads,
    ::testing::Values(sizing_case{"HeightOne", 32, 1024, 1, 1, 1, true, {32, 1, 1}},
                      sizing_case{"Height100", 32, 1024, 1000, 100, 1, true, {32, 32, 1}},
                      sizing_case{"Height3", 32, 1024, 5, 3, 7, true, {32, 3, 1}},
                      sizing_case{"Width64Max256", 64, 256, 70, 9, 1, true, {64, 4, 1}},
                      // Empty grids have no valid threadgroup: nothing runs.
                      sizing_case{"EmptyWidth", 32, 1024, 0, 4, 1, false, {}},
                      sizing_case{"EmptyHeight", 32, 1024, 8, 0, 1, false, {}},
                      sizing_case{"NegativeHeight", 32, 1024, 8, -3, 1, false, {}},
                      sizing_case{"EmptyDepth", 32, 1024, 8, 4, 0, false, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MetalDevice, OversizedThreadgroupIsRefusedAndTheEncoderEnded) {
  standin().max_threads_per_threadgroup = 256;
  open_device d;
  qz_ypu_metal_begin_compute(d.device, d.add);
  EXPECT_EQ(qz_ypu_metal_dispatch_threadgroups(d.device, d.add, 512, 1, 1, 1, 1, 1),
            QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kThreadgroup});
  EXPECT_TRUE(standin().dispatches.empty());
  EXPECT_EQ(d.device->compute_encoder, nullptr);
  // 65536 x 65536 x 1 wraps to 0 in 32 bits: still refused.
  qz_ypu_metal_begin_compute(d.device, d.add);
  EXPECT_EQ(qz_ypu_metal_dispatch_threadgroups(d.device, d.add, 65536, 65536, 1, 1, 1, 1),
            QZ_STATUS_RUNTIME_ERROR);
  take_error_stack();
  // What follows is encoded and committed normally.
  ASSERT_EQ(d.copy_pass(), QZ_STATUS_SUCCESS);
  ASSERT_EQ(qz_ypu_metal_synchronize(d.device), QZ_STATUS_SUCCESS);
  EXPECT_EQ(standin().commits, 1);
}

TEST_F(MetalDevice, ThreadgroupDispatchUsesTheGivenSizes) {
  open_device d;
  const int32_t count = 4;
  qz_ypu_metal_begin_compute(d.device, d.add);
  qz_ypu_metal_set_bytes(d.device, &count, 4, 0);
  qz_ypu_metal_set_buffer(d.device, d.out, 0, 1);
  qz_ypu_metal_set_buffer(d.device, d.a, 0, 2);
  qz_ypu_metal_set_buffer(d.device, d.b, 0, 3);
  qz_ypu_metal_set_threadgroup_memory(d.device, 64, 0);
  ASSERT_EQ(qz_ypu_metal_dispatch_threadgroups(d.device, d.add, 2, 1, 1, 2, 1, 1),
            QZ_STATUS_SUCCESS);
  ASSERT_EQ(standin().dispatches.size(), 1u);
  const auto &r = standin().dispatches[0];
  EXPECT_TRUE(r.threadgroups);
  EXPECT_EQ(std::vector<uint64_t>(r.grid, r.grid + 3), (std::vector<uint64_t>{2, 1, 1}));
  EXPECT_EQ(std::vector<uint64_t>(r.group, r.group + 3), (std::vector<uint64_t>{2, 1, 1}));
  EXPECT_EQ(d.download(d.out), (std::vector<float>{2, 2, 2, 2}));
}

TEST_F(MetalDevice, DispatchOrEndWithoutAnOpenEncoderIsAStateError) {
  open_device d;
  EXPECT_EQ(qz_ypu_metal_dispatch_threads(d.device, d.add, 1, 1, 1), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(qz_ypu_metal_dispatch_threadgroups(d.device, d.add, 1, 1, 1, 1, 1, 1),
            QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(qz_ypu_metal_end_blit(d.device), QZ_STATUS_RUNTIME_ERROR);
  // A command buffer without the matching encoder.
  ASSERT_EQ(d.add_pass(), QZ_STATUS_SUCCESS);
  EXPECT_EQ(qz_ypu_metal_end_blit(d.device), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kState, kState, kState, kState}));
  EXPECT_EQ(d.device->ended_encoders, 1);
}

// Without a command buffer or an encoder from the framework, the pass is a
// state error; nothing crashes and nothing is left half made.
TEST_F(MetalDevice, PassWithoutCommandBufferOrEncoderFails) {
  open_device d;
  for (const bool buffers : {true, false}) {
    standin().command_buffers_fail = buffers;
    standin().encoders_fail = !buffers;
    EXPECT_EQ(d.add_pass(), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(d.copy_pass(), QZ_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(take_error_stack(), (std::vector<std::string>{kState, kState}));
  }
  standin().encoders_fail = false;
  EXPECT_EQ(d.add_pass(), QZ_STATUS_SUCCESS) << "the command buffer made before is used";
  EXPECT_EQ(d.download(d.out), (std::vector<float>{2, 2, 2, 2}));
}

TEST_F(MetalDevice, DeviceAndQueueAreHandedOut) {
  open_device d;
  EXPECT_EQ(qz_ypu_metal_get_device(d.device), d.device->mtl_device);
  EXPECT_EQ(qz_ypu_metal_get_queue(d.device), d.device->command_queue);
  EXPECT_EQ(qz_ypu_metal_buffer_object(d.out),
            reinterpret_cast<qz_ypu_metal_buffer_t *>(d.out)->mtl_buffer);
}

struct pipeline_failure {
  const char *name;
  void (*arrange)(qz_metal_standin::machine &);
};

class MetalPipelineFailure : public MetalDevice,
                             public ::testing::WithParamInterface<pipeline_failure> {};

TEST_P(MetalPipelineFailure, ReportsAndLeavesNothing) {
  open_device d;
  GetParam().arrange(standin());
  auto *const sentinel = reinterpret_cast<qz_ypu_metal_pipeline_t *>(0x5A5A);
  qz_ypu_metal_pipeline_t *pipeline = sentinel;
  EXPECT_EQ(qz_ypu_metal_pipeline_create(d.device, "taabe69", &pipeline), QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(pipeline, sentinel);
  std::vector<std::string> expected{kPipeline};
  if (!standin().compiler_message.empty())
    expected.insert(expected.begin(), "0633a7d 00000346: The Metal device refused the pipeline of "
                                      "`taabe69`: too many registers\\x0A  in taabe69");
  EXPECT_EQ(take_error_stack(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetalPipelineFailure,
    ::testing::Values(
        pipeline_failure{"NoFunction",
                         [](qz_metal_standin::machine &m) { m.missing_functions = {"taabe69"}; }},
        pipeline_failure{"NoPipelineState",
                         [](qz_metal_standin::machine &m) { m.failing_pipelines = {"taabe69"}; }},
        // The device's reason comes first, quoted as outside text.
        pipeline_failure{"NoPipelineStateWithAReason",
                         [](qz_metal_standin::machine &m) {
                           m.failing_pipelines = {"taabe69"};
                           m.compiler_message = "too many registers\n  in taabe69";
                         }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(MetalDevice, UnknownKernelHasNoPipeline) {
  open_device d;
  qz_ypu_metal_pipeline_t *pipeline = nullptr;
  EXPECT_EQ(qz_ypu_metal_pipeline_create(d.device, "taabe100000", &pipeline),
            QZ_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(pipeline, nullptr);
  EXPECT_EQ(take_error_stack(), std::vector<std::string>{kPipeline});
  EXPECT_STREQ(d.add->kernel_name, "taabe69");
  EXPECT_NE(d.add->kernel_name, static_cast<const char *>("taabe69")) << "its own copy";
}

}  // namespace
