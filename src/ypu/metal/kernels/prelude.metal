// Shared by every kernel file of the GPU program; the files are joined in
// name order after this one into the program's source text.
#include <metal_stdlib>
using namespace metal;
