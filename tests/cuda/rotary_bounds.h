// Bounds on the difference between the device's and the host's rotary
// results: angles formed through the GPU's powf, expf or exp2f, and their
// cosines and sines from its sincosf, each within its documented error
// (which the harness applies), against the host's own.
#pragma once

#include "gpu_harness/device_maths.h"

// Device and host cosines or sines of angles of at most `angle` that differ
// by at most angle * rel: that difference carries through (the derivatives
// are at most 1), plus each side's own error of its sincosf.
inline double trig_bound(double angle, double rel) {
  return angle * rel + qz_gpu_harness::device_error(1, qz_gpu_harness::kDeviceMaths.sincosf) +
         qz_gpu_harness::device_error(1, qz_gpu_harness::kHostMathsUlps);
}

// The same for a rotated pair (x0, x1) with |x0|, |x1| <= 1: both the
// cosine and the sine enter, and each side rounds two products and a sum of
// terms at most 2.
inline double rotated_bound(double angle, double rel) {
  return 2 * trig_bound(angle, rel) + 2 * 3 * 0x1p-24 * 2;
}

// The relative difference of two sides' angles formed from a power (or
// exponential) with the device's error `device_ulps` and the host's, and
// `roundings` further roundings on each side.
inline double angle_rel(int device_ulps, int roundings) {
  return qz_gpu_harness::device_relative_error(device_ulps) +
         qz_gpu_harness::device_relative_error(qz_gpu_harness::kHostMathsUlps) + roundings * 0x1p-23;
}
