// Kernels that exercise the harness's Metal layer (tests only).

// Each thread writes what it sees of its dispatch.
kernel void probe_positions(device uint* out QZ_BUFFER(0), constant uint& stride QZ_BYTES(1),
                            uint2 gid QZ_THREAD_POSITION_IN_GRID,
                            uint2 tid QZ_THREAD_POSITION_IN_THREADGROUP,
                            uint2 size QZ_THREADS_PER_THREADGROUP,
                            uint2 group QZ_THREADGROUP_POSITION_IN_GRID,
                            uint2 grid QZ_THREADS_PER_GRID) {
  device uint* cell = out + (gid.y * stride + gid.x) * 6;
  cell[0] = tid.x + 1000 * tid.y;
  cell[1] = size.x + 1000 * size.y;
  cell[2] = group.x + 1000 * group.y;
  cell[3] = grid.x + 1000 * grid.y;
  cell[4] = gid.x;
  cell[5] = gid.y;
}
QZ_REGISTER(probe_positions)

// SIMD-group operations, one result row per thread.
kernel void probe_simd(device const float* in QZ_BUFFER(0), device float* out QZ_BUFFER(1),
                       uint gid QZ_THREAD_POSITION_IN_GRID,
                       ushort lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                       ushort simd QZ_SIMDGROUP_INDEX_IN_THREADGROUP) {
  const float v = in[gid];
  device float* row = out + gid * 8;
  row[0] = simd_sum(v);
  row[1] = simd_max(v);
  row[2] = simd_prefix_exclusive_sum(v);
  row[3] = simd_shuffle_down(v, 1);
  row[4] = simd_broadcast(v, 0);
  row[5] = simd_shuffle_xor(v, 2);
  row[6] = lane;
  row[7] = simd;
}
QZ_REGISTER(probe_simd)

// Threadgroup reduction through a static array and a dynamic one, with the
// per-group sums added atomically into out[0].
kernel void probe_threadgroup(device const float* in QZ_BUFFER(0),
                              device atomic_float* total QZ_BUFFER(1),
                              device float* group_sums QZ_BUFFER(2),
                              threadgroup float* partial QZ_THREADGROUP(0),
                              threadgroup float* spare QZ_THREADGROUP(1),
                              uint gid QZ_THREAD_POSITION_IN_GRID,
                              uint tid QZ_THREAD_INDEX_IN_THREADGROUP,
                              uint size QZ_THREADS_PER_THREADGROUP,
                              uint group QZ_THREADGROUP_POSITION_IN_GRID) {
  qz_threadgroup float first[1];
  partial[tid] = in[gid];
  spare[tid] = -1.0f;
  if (tid == 0) first[0] = in[gid];
  threadgroup_barrier(mem_flags::mem_threadgroup);
  for (uint step = 1; step < size; step *= 2) {
    const float mine = partial[tid];
    const float other = tid + step < size && tid % (2 * step) == 0 ? partial[tid + step] : 0.0f;
    threadgroup_barrier(mem_flags::mem_threadgroup);
    partial[tid] = mine + other;
    threadgroup_barrier(mem_flags::mem_threadgroup);
  }
  if (tid == 0) {
    group_sums[group * 2] = partial[0];
    group_sums[group * 2 + 1] = first[0] + spare[size - 1];
    atomic_fetch_add_explicit(total, partial[0], memory_order_relaxed);
  }
}
QZ_REGISTER(probe_threadgroup)

// Each threadgroup's thread 0 notes the group's linear index in the next
// free place of `order`, so `order` lists the groups as they ran.
kernel void probe_group_order(device atomic_uint* next QZ_BUFFER(0), device uint* order QZ_BUFFER(1),
                              uint tid QZ_THREAD_INDEX_IN_THREADGROUP,
                              uint3 group QZ_THREADGROUP_POSITION_IN_GRID,
                              uint3 groups QZ_THREADGROUPS_PER_GRID) {
  if (tid == 0)
    order[atomic_fetch_add_explicit(next, 1u, memory_order_relaxed)] =
        group.x + groups.x * (group.y + groups.y * group.z);
}
QZ_REGISTER(probe_group_order)

// One maths function per thread (in[1] picks it) on in[0]: exp, the precise
// exp, max with 1 and the SIMD-group maximum.
kernel void probe_fast_math(device const float* in QZ_BUFFER(0), device float* out QZ_BUFFER(1)) {
  const float v = in[0];
  switch (int(in[1])) {
    case 0: out[0] = exp(v); break;
    case 1: out[0] = precise::exp(v); break;
    case 2: out[0] = max(v, 1.0f); break;
    default: out[0] = simd_max(v); break;
  }
}
QZ_REGISTER(probe_fast_math)
