# Writes the GPU program's source text as a C++ array (cmake -P):
#   -DOUTPUT=<file.cc> -DSOURCES=<prelude.metal>|<a.metal>|<b.metal>...
# The files are joined in the order given, each followed by a newline, and
# the text is NUL-terminated.
string(REPLACE "|" ";" SOURCES "${SOURCES}")
set(hex "")
foreach(source ${SOURCES})
  file(READ "${source}" part HEX)
  string(APPEND hex "${part}0a")
endforeach()
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line keeps the file readable for a compiler's diagnostics.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from src/ypu/metal/kernels/*.metal: the GPU program's source.\n"
  "#include \"ypu/metal/device.h\"\n\n"
  "extern const char qz_ypu_metal_library_data[] = {\n${bytes}0x00};\n"
  "extern const size_t qz_ypu_metal_library_size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
