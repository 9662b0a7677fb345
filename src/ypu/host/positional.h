// Shared by the host and CPU two-axis rotary embeddings.
#pragma once

#include <cstdint>

#include "ypu/params.h"

// Rotates every head of token t from `in` into `out` (window sizes positive,
// head_dim at least 2).
void qz_ypu_rope2d_token(const qz_ypu_rope2d_f32_params_t &p, const float *in, float *out,
                         int32_t t);
