// Tests of a float's class on its bits. The program is built with fast math,
// under which the compiler may take every value to be a number: it folds
// x == x to true and isnan(x) to false, so a NaN test must read the bits.
// Every kernel file comes after this one.

// Whether x is a NaN: all exponent bits set and a mantissa that is not 0.
static inline bool qz_metal_is_nan(float x) {
  return (as_type<uint>(x) & 0x7FFFFFFFu) > 0x7F800000u;
}
