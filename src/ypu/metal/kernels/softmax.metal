// Row softmax in float and in fixed point (int16 Q10 in, int32 Q31 out).

// Float softmax, one SIMD group per row: the lanes stride over the row for
// the maximum and the sum of exponentials, combined across the group.
kernel void taabe67(constant int& length QZ_BYTES(0), device float* output QZ_BUFFER(1),
                    device const float* input QZ_BUFFER(2), uint2 gid QZ_THREAD_POSITION_IN_GRID,
                    uint width QZ_THREADS_PER_SIMDGROUP) {
  const int n = length;
  device const float* x = input + long(gid.y) * n;
  device float* o = output + long(gid.y) * n;
  float mx = x[0];
  for (int j = int(gid.x); j < n; j += int(width)) mx = max(x[j], mx);
  const float row_max = simd_max(mx);
  float local_sum = 0.0f;
  for (int j = int(gid.x); j < n; j += int(width)) {
    const float e = fast::exp(x[j] - row_max);
    o[j] = e;
    local_sum += e;
  }
  const float inv = 1.0f / simd_sum(local_sum);
  for (int j = int(gid.x); j < n; j += int(width)) o[j] = o[j] * inv;
}
QZ_REGISTER(taabe67)

// e^(-i/8) and e^(-i/1024) in Q31 (the library's fixed-point tables, the
// same values).
constant int softmax_exp_msb_table[128] = {
    2147483647, 1895147667, 1672461946, 1475942487, 1302514673, 1149465165,
    1014399447, 895204370, 790015084, 697185865, 615264366, 542968897,
    479168370, 422864602, 373176702, 329327283, 290630308, 256480346,
    226343111, 199747095, 176276192, 155563194, 137284037, 121152737,
    106916915, 94353846, 83266977, 73482850, 64848387, 57228501,
    50503975, 44569601, 39332535, 34710840, 30632209, 27032830,
    23856388, 21053189, 18579374, 16396240, 14469631, 12769405,
    11268960, 9944822, 8776275, 7745035, 6834970, 6031840,
    5323080, 4697601, 4145619, 3658496, 3228611, 2849239,
    2514445, 2218990, 1958252, 1728151, 1525088, 1345885,
    1187740, 1048177, 925013, 816321, 720401, 635751,
    561048, 495124, 436945, 385603, 340293, 300308,
    265021, 233880, 206398, 182146, 160743, 141855,
    125187, 110477, 97496, 86040, 75930, 67008,
    59134, 52186, 46054, 40642, 35867, 31652,
    27933, 24651, 21754, 19198, 16942, 14951,
    13195, 11644, 10276, 9069, 8003, 7063,
    6233, 5500, 4854, 4284, 3780, 3336,
    2944, 2598, 2293, 2023, 1786, 1576,
    1391, 1227, 1083, 956, 844, 744,
    657, 580, 512, 451, 398, 352,
    310, 274,};
constant int softmax_exp_lsb_table[128] = {
    2147483647, 2145387519, 2143293436, 2141201398, 2139111402, 2137023445,
    2134937527, 2132853645, 2130771797, 2128691981, 2126614194, 2124538437,
    2122464705, 2120392997, 2118323311, 2116255646, 2114189999, 2112126368,
    2110064752, 2108005147, 2105947553, 2103891968, 2101838389, 2099786814,
    2097737242, 2095689670, 2093644097, 2091600521, 2089558939, 2087519351,
    2085481753, 2083446143, 2081412521, 2079380884, 2077351230, 2075323557,
    2073297863, 2071274146, 2069252405, 2067232637, 2065214840, 2063199014,
    2061185154, 2059173261, 2057163331, 2055155363, 2053149355, 2051145305,
    2049143211, 2047143071, 2045144884, 2043148647, 2041154359, 2039162017,
    2037171620, 2035183165, 2033196652, 2031212078, 2029229440, 2027248738,
    2025269970, 2023293132, 2021318224, 2019345244, 2017374190, 2015405060,
    2013437852, 2011472563, 2009509194, 2007547740, 2005588201, 2003630575,
    2001674860, 1999721053, 1997769154, 1995819160, 1993871069, 1991924880,
    1989980590, 1988038198, 1986097702, 1984159101, 1982222391, 1980287572,
    1978354641, 1976423597, 1974494438, 1972567162, 1970641767, 1968718252,
    1966796614, 1964876852, 1962958963, 1961042947, 1959128801, 1957216523,
    1955306111, 1953397565, 1951490881, 1949586059, 1947683095, 1945781990,
    1943882739, 1941985343, 1940089799, 1938196104, 1936304259, 1934414260,
    1932526105, 1930639794, 1928755324, 1926872693, 1924991900, 1923112943,
    1921235819, 1919360528, 1917487068, 1915615436, 1913745631, 1911877651,
    1910011494, 1908147159, 1906284644, 1904423946, 1902565065, 1900707998,
    1898852744, 1896999301,};

// e^(d/1024) in Q31 for a non-positive Q10 difference d.
static inline int softmax_fixed_exp(int d) {
  const int a = min(-d, 16383);
  const long p = long(softmax_exp_msb_table[a >> 7]) * long(softmax_exp_lsb_table[a & 127]);
  return int(clamp((p + (long(1) << 30)) >> 31, long(-2147483647 - 1), long(2147483647)));
}

// Fixed-point softmax, one threadgroup per row of at most 1024 threads. The
// maximum loop runs the same number of rounds on every thread (a thread past
// the row adds the smallest int16), so each SIMD-group maximum has all its
// lanes.
kernel void taabe160(constant int& length QZ_BYTES(0), device int* output QZ_BUFFER(1),
                     device const short* input QZ_BUFFER(2),
                     uint t QZ_THREAD_INDEX_IN_THREADGROUP, uint size QZ_THREADS_PER_THREADGROUP,
                     uint row QZ_THREADGROUP_POSITION_IN_GRID,
                     uint lane QZ_THREAD_INDEX_IN_SIMDGROUP,
                     uint group QZ_SIMDGROUP_INDEX_IN_THREADGROUP,
                     uint width QZ_THREADS_PER_SIMDGROUP,
                     uint groups QZ_SIMDGROUPS_PER_THREADGROUP) {
  qz_threadgroup long cache[1024];
  qz_threadgroup int max_cache[1024];
  const int n = length;
  const int step = int(size);
  device const short* x = input + long(row) * n;
  device int* o = output + long(row) * n;

  int v = -32768;
  for (int base = 0; base < n; base += step) {
    const int j = base + int(t);
    v = max(v, simd_max(j < n ? int(x[j]) : -32768));
  }
  if (lane == 0) max_cache[group] = v;
  threadgroup_barrier(mem_flags::mem_threadgroup);
  if (t == 0) {
    const uint used = min(groups, uint(n));
    for (uint g = 1; g < used; ++g) max_cache[0] = max(max_cache[0], max_cache[g]);
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);
  const int row_max = max_cache[0];

  long acc = 0;
  for (int j = int(t); j < n; j += step) {
    const int e = softmax_fixed_exp(clamp(int(x[j]) - row_max, -32768, 32767));
    o[j] = e;
    acc += long(e);
  }
  cache[t] = acc;
  threadgroup_barrier(mem_flags::mem_threadgroup);

  if (group == 0) {
    long s = 0;
    for (uint i = lane; i < size; i += width) s += cache[i];
    cache[lane] = s;
    simdgroup_barrier(mem_flags::mem_threadgroup);
    if (lane == 0) {
      const uint used = min(width, size);
      for (uint i = 1; i < used; ++i) s += cache[i];
      cache[0] = s;
    }
  }
  threadgroup_barrier(mem_flags::mem_threadgroup);

  const long total = cache[0];
  const long inv = clamp((long(1) << 62) / total, long(-2147483647 - 1), long(2147483647));
  for (int j = int(t); j < n; j += step) o[j] = int((inv * long(o[j]) + (long(1) << 30)) >> 31);
}
QZ_REGISTER(taabe160)
