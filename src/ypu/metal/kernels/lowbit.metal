// Low-bit linear layer and its load-time repack.
//
// Tile layout on the GPU: widths 1, 2, 4 and 8 keep the canonical stream
// (row r is the b-byte word r, column k at bits b*k). Widths 3, 5, 6 and 7
// are split by op 94 into bit planes of 4, 2 and 1 bits, widest first, the
// code's low bits in the widest plane: a 4-bit plane is 16 32-bit row words
// (64 bytes), a 2-bit plane 16 16-bit row words (32 bytes), a 1-bit plane 16
// row bytes. So every row's 8 codes come from one to three aligned words.

// 2^(e - 35) for e = 0 .. 31, exact powers of two.
constant float lowbit_exponents[32] = {
    1.0f / 34359738368.0f, 1.0f / 17179869184.0f, 1.0f / 8589934592.0f, 1.0f / 4294967296.0f,
    1.0f / 2147483648.0f,  1.0f / 1073741824.0f,  1.0f / 536870912.0f,  1.0f / 268435456.0f,
    1.0f / 134217728.0f,   1.0f / 67108864.0f,    1.0f / 33554432.0f,   1.0f / 16777216.0f,
    1.0f / 8388608.0f,     1.0f / 4194304.0f,     1.0f / 2097152.0f,    1.0f / 1048576.0f,
    1.0f / 524288.0f,      1.0f / 262144.0f,      1.0f / 131072.0f,     1.0f / 65536.0f,
    1.0f / 32768.0f,       1.0f / 16384.0f,       1.0f / 8192.0f,       1.0f / 4096.0f,
    1.0f / 2048.0f,        1.0f / 1024.0f,        1.0f / 512.0f,        1.0f / 256.0f,
    1.0f / 128.0f,         1.0f / 64.0f,          1.0f / 32.0f,         1.0f / 16.0f};

// A 16-bit tile offset or scale: sign bit 15, exponent bits 14-10, mantissa
// bits 9-0 without a hidden bit.
static inline float lowbit_decode(ushort h) {
  const float v = lowbit_exponents[(h >> 10) & 31] * float(h & 1023);
  return (h & 0x8000) != 0 ? -v : v;
}

// Little-endian row words, assembled from bytes (the planes are aligned, but
// bytes keep the reads within the tile whatever the buffer offset).
static inline uint lowbit_word16(device const uchar* p) { return uint(p[0]) | (uint(p[1]) << 8); }
static inline uint lowbit_word32(device const uchar* p) {
  return uint(p[0]) | (uint(p[1]) << 8) | (uint(p[2]) << 16) | (uint(p[3]) << 24);
}

// The 8 codes of row r of a tile of width B in the GPU layout.
template <int B>
static inline void lowbit_row_codes(device const uchar* tile, int r, thread uint* q) {
  if (B == 8) {
    for (int k = 0; k < 8; ++k) q[k] = tile[8 * r + k];
    return;
  }
  uint nibbles = 0, pairs = 0, bits = 0;
  int at = 0;
  if ((B & 4) != 0) {
    nibbles = lowbit_word32(tile + 4 * r);
    at += 64;
  }
  if ((B & 2) != 0) {
    pairs = lowbit_word16(tile + at + 2 * r);
    at += 32;
  }
  if ((B & 1) != 0) bits = tile[at + r];
  for (int k = 0; k < 8; ++k) {
    uint code = 0;
    int shift = 0;
    if ((B & 4) != 0) {
      code = (nibbles >> (4 * k)) & 15u;
      shift = 4;
    }
    if ((B & 2) != 0) {
      code |= ((pairs >> (2 * k)) & 3u) << shift;
      shift += 2;
    }
    if ((B & 1) != 0) code |= ((bits >> k) & 1u) << shift;
    q[k] = code;
  }
}

// One token: thread (i, m) adds groups 4m .. 4m + 3 of output row i.
template <int B>
static inline void lowbit_gemv(device const float* x, device const ushort* metas,
                               device const uchar* blocks, int nbc, int nbr,
                               device atomic_float* y, uint2 gid) {
  const int i = int(gid.x);
  const int rb = i / 16, r = i % 16;
  if (rb >= nbr) return;
  const int first = int(gid.y) * 4;
  const int last = min(first + 4, nbc);
  float acc = 0.0f;
  for (int g = first; g < last; ++g) {
    const int tile = rb * nbc + g;
    const float o = lowbit_decode(metas[2 * tile]);
    const float s = lowbit_decode(metas[2 * tile + 1]);
    uint q[8];
    lowbit_row_codes<B>(blocks + tile * 16 * B, r, q);
    device const float* xg = x + 8 * g;
    float sx = 0.0f, sq = 0.0f;
    for (int k = 0; k < 8; ++k) {
      sx += xg[k];
      sq += float(q[k]) * xg[k];
    }
    acc += o * sx + s * sq;
  }
  atomic_fetch_add_explicit(y + i, acc, memory_order_relaxed);
}

// Several tokens: a threadgroup of 256 threads covers 16 row blocks and 32
// tokens of the [G][n][8] activations; thread p owns row block p / 16 and
// the tokens 2 (p % 16) and 2 (p % 16) + 1 of the group's range, and adds
// its 32 sums into the [R][n][16] result.
template <int B>
static inline void lowbit_gemm(device const float* x, device const ushort* metas,
                               device const uchar* blocks, int nbc, int nbr, int n,
                               device atomic_float* y, threadgroup float* x_shared,
                               threadgroup uchar* w_shared, threadgroup float* alpha_shared,
                               threadgroup float* beta_shared, uint p, uint2 group) {
  const int lrb = int(p / 16), u = int(p % 16);
  const int rb0 = int(group.x) * 16, t0 = int(group.y) * 32;
  const int rb = rb0 + lrb;
  float acc[32];
  for (int j = 0; j < 32; ++j) acc[j] = 0.0f;
  for (int g = 0; g < nbc; ++g) {
    const int token = t0 + int(p / 8);
    x_shared[p] = token < n ? x[(g * n + token) * 8 + int(p % 8)] : 0.0f;
    uint q[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (rb < nbr) lowbit_row_codes<B>(blocks + (rb * nbc + g) * 16 * B, u, q);
    for (int k = 0; k < 8; ++k) w_shared[(lrb * 16 + u) * 8 + k] = uchar(q[k]);
    if (p < 16) {
      const bool inside = rb0 + int(p) < nbr;
      const int tile = (rb0 + int(p)) * nbc + g;
      alpha_shared[p] = inside ? lowbit_decode(metas[2 * tile]) : 0.0f;
      beta_shared[p] = inside ? lowbit_decode(metas[2 * tile + 1]) : 0.0f;
    }
    threadgroup_barrier(mem_flags::mem_threadgroup);
    const float alpha = alpha_shared[lrb], beta = beta_shared[lrb];
    for (int j = 0; j < 16; ++j)
      for (int h = 0; h < 2; ++h) {
        float d = 0.0f;
        for (int k = 0; k < 8; ++k)
          d += (float(w_shared[lrb * 128 + j * 8 + k]) * beta + alpha) *
               x_shared[(2 * u + h) * 8 + k];
        acc[h * 16 + j] += d;
      }
    threadgroup_barrier(mem_flags::mem_threadgroup);
  }
  if (rb >= nbr) return;
  for (int h = 0; h < 2; ++h) {
    const int token = t0 + 2 * u + h;
    if (token >= n) break;
    for (int j = 0; j < 16; ++j)
      atomic_fetch_add_explicit(y + (rb * n + token) * 16 + j, acc[h * 16 + j],
                                memory_order_relaxed);
  }
}

#define QZ_LOWBIT_GEMV(name, B)                                                            \
  kernel void name(device const float* x QZ_BUFFER(0), device const ushort* metas QZ_BUFFER(1), \
                   device const uchar* blocks QZ_BUFFER(2), constant int& nbc QZ_BYTES(3),     \
                   constant int& nbr QZ_BYTES(4), device atomic_float* y QZ_BUFFER(5),         \
                   uint2 gid QZ_THREAD_POSITION_IN_GRID) {                                     \
    lowbit_gemv<B>(x, metas, blocks, nbc, nbr, y, gid);                                        \
  }                                                                                            \
  QZ_REGISTER(name)

#define QZ_LOWBIT_GEMM(name, B)                                                              \
  kernel void name(device const float* x QZ_BUFFER(0), device const ushort* metas QZ_BUFFER(1), \
                   device const uchar* blocks QZ_BUFFER(2), constant int& nbc QZ_BYTES(3),     \
                   constant int& nbr QZ_BYTES(4), constant int& n QZ_BYTES(5),                 \
                   device atomic_float* y QZ_BUFFER(6),                                        \
                   uint p QZ_THREAD_INDEX_IN_THREADGROUP,                                      \
                   uint2 group QZ_THREADGROUP_POSITION_IN_GRID) {                              \
    qz_threadgroup float x_shared[256];                                                        \
    qz_threadgroup uchar w_shared[2048];                                                       \
    qz_threadgroup float alpha_shared[16];                                                     \
    qz_threadgroup float beta_shared[16];                                                      \
    lowbit_gemm<B>(x, metas, blocks, nbc, nbr, n, y, x_shared, w_shared, alpha_shared,         \
                   beta_shared, p, group);                                                     \
  }                                                                                            \
  QZ_REGISTER(name)

QZ_LOWBIT_GEMV(taabe327, 1)
QZ_LOWBIT_GEMV(taabe89, 2)
QZ_LOWBIT_GEMV(taabe66, 3)
QZ_LOWBIT_GEMV(taabe298, 4)
QZ_LOWBIT_GEMV(taabe265, 5)
QZ_LOWBIT_GEMV(taabe92, 6)
QZ_LOWBIT_GEMV(taabe73, 7)
QZ_LOWBIT_GEMV(taabe166, 8)

QZ_LOWBIT_GEMM(taabe130, 1)
QZ_LOWBIT_GEMM(taabe124, 2)
QZ_LOWBIT_GEMM(taabe289, 3)
QZ_LOWBIT_GEMM(taabe59, 4)
QZ_LOWBIT_GEMM(taabe78, 5)
QZ_LOWBIT_GEMM(taabe55, 6)
QZ_LOWBIT_GEMM(taabe271, 7)
QZ_LOWBIT_GEMM(taabe39, 8)

#undef QZ_LOWBIT_GEMV
#undef QZ_LOWBIT_GEMM

// One token: xx[j] = x[perm[j]]. A column index outside the row reads 0
// instead of memory outside the input.
kernel void taabe139(device const float* x QZ_BUFFER(0), device const int* indices QZ_BUFFER(1),
                     constant int& n QZ_BYTES(2), device float* xx QZ_BUFFER(3),
                     uint j QZ_THREAD_POSITION_IN_GRID) {
  if (int(j) >= n) return;
  const uint source = uint(indices[j]);
  xx[j] = source < uint(n) ? x[source] : 0.0f;
}
QZ_REGISTER(taabe139)

// Several tokens: the input rows gathered into group-major [G][n][8].
kernel void taabe21(device const float* x QZ_BUFFER(0), device const int* indices QZ_BUFFER(1),
                    constant int& n QZ_BYTES(2), constant int& shape1 QZ_BYTES(3),
                    device float* xx QZ_BUFFER(4), uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int j = int(gid.x), t = int(gid.y);
  if (j >= shape1 || t >= n) return;
  const uint source = uint(indices[j]);
  xx[((j / 8) * n + t) * 8 + j % 8] = source < uint(shape1) ? x[t * shape1 + int(source)] : 0.0f;
}
QZ_REGISTER(taabe21)

// Several tokens: the [R][n][16] result scattered into the [n][16R] output.
kernel void taabe107(device const float* yy QZ_BUFFER(0), constant int& n QZ_BYTES(1),
                     constant int& shape0 QZ_BYTES(2), device float* y QZ_BUFFER(3),
                     uint2 gid QZ_THREAD_POSITION_IN_GRID) {
  const int r = int(gid.x), t = int(gid.y);
  if (r >= shape0 || t >= n) return;
  y[t * shape0 + r] = yy[((r / 16) * n + t) * 16 + r % 16];
}
QZ_REGISTER(taabe107)

// Clears n floats, 16 per thread.
kernel void taabe219(device float* y QZ_BUFFER(0), constant int& n QZ_BYTES(1),
                     uint i QZ_THREAD_POSITION_IN_GRID) {
  const int first = int(i) * 16;
  const int last = min(first + 16, n);
  for (int e = first; e < last; ++e) y[e] = 0.0f;
}
QZ_REGISTER(taabe219)

// Op 94, one thread per tile (rb, g) of a width class: the canonical
// stream's 128 codes are all read before the planes are written over the
// same bytes, so the rewrite is in place.
template <int B>
static inline void lowbit_repack(device uchar* blocks, int block_offset, int nbc, int nbr,
                                 uint2 gid) {
  const int rb = int(gid.x), g = int(gid.y);
  if (rb >= nbr || g >= nbc) return;
  device uchar* tile = blocks + block_offset + (rb * nbc + g) * 16 * B;
  uint codes[128];
  for (int i = 0; i < 128; ++i) {
    const int bit = B * i, byte = bit / 8, shift = bit % 8;
    uint v = uint(tile[byte]) >> shift;
    if (shift + B > 8) v |= uint(tile[byte + 1]) << (8 - shift);
    codes[i] = v & ((1u << B) - 1u);
  }
  for (int r = 0; r < 16; ++r) {
    uint nibbles = 0, pairs = 0, bits = 0;
    for (int k = 0; k < 8; ++k) {
      uint code = codes[8 * r + k];
      if ((B & 4) != 0) {
        nibbles |= (code & 15u) << (4 * k);
        code >>= 4;
      }
      if ((B & 2) != 0) {
        pairs |= (code & 3u) << (2 * k);
        code >>= 2;
      }
      if ((B & 1) != 0) bits |= (code & 1u) << k;
    }
    int at = 0;
    if ((B & 4) != 0) {
      for (int e = 0; e < 4; ++e) tile[4 * r + e] = uchar(nibbles >> (8 * e));
      at += 64;
    }
    if ((B & 2) != 0) {
      tile[at + 2 * r] = uchar(pairs);
      tile[at + 2 * r + 1] = uchar(pairs >> 8);
      at += 32;
    }
    if ((B & 1) != 0) tile[at + r] = uchar(bits);
  }
}

#define QZ_LOWBIT_REPACK(name, B)                                                           \
  kernel void name(device uchar* blocks QZ_BUFFER(0), constant int& block_offset QZ_BYTES(1), \
                   constant int& nbc QZ_BYTES(2), constant int& nbr QZ_BYTES(3),             \
                   uint2 gid QZ_THREAD_POSITION_IN_GRID) {                                   \
    lowbit_repack<B>(blocks, block_offset, nbc, nbr, gid);                                   \
  }                                                                                          \
  QZ_REGISTER(name)

QZ_LOWBIT_REPACK(taabe207, 3)
QZ_LOWBIT_REPACK(taabe28, 5)
QZ_LOWBIT_REPACK(taabe61, 6)
QZ_LOWBIT_REPACK(taabe11, 7)

#undef QZ_LOWBIT_REPACK
