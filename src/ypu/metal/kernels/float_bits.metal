// Floats by their bits. The program is built with fast math, under which the
// compiler may take every value to be a number: it folds x == x to true and
// isnan(x) to false, so a NaN test must read the bits; and a maths function
// (exp, max, ...) given or giving an infinity has no defined result, so a
// kernel that must store an infinity or a NaN makes it from its bits and
// keeps it away from arithmetic. Every kernel file comes after this one.

// Whether x is a NaN: all exponent bits set and a mantissa that is not 0.
static inline bool qz_metal_is_nan(float x) {
  return (as_type<uint>(x) & 0x7FFFFFFFu) > 0x7F800000u;
}

// Minus infinity, what the window mask stores, and the test for it.
static inline float qz_metal_minus_infinity() { return as_type<float>(0xFF800000u); }
static inline bool qz_metal_is_minus_infinity(float x) { return as_type<uint>(x) == 0xFF800000u; }
static inline float qz_metal_infinity() { return as_type<float>(0x7F800000u); }

// The NaN that the host's x86-64 arithmetic makes of an invalid operation
// (infinity minus infinity, the logarithm of a negative number).
static inline float qz_metal_default_nan() { return as_type<float>(0xFFC00000u); }
