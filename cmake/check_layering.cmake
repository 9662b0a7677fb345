# Fails when a lower layer includes a header of a layer above it: the host
# implementations are the reference that every backend is compared with, so
# they use only the shared arithmetic of src/ypu/; the tokenizers serve the
# engine and know nothing of it; the common layer serves everyone.
# Usage: cmake -DSOURCE_DIR=<repository> -P check_layering.cmake
set(rules
  "src/ypu/host|ypu/(cpu|cuda|metal)/"
  "src/tokenizer|engine/"
  "src/common|(engine|tokenizer|ypu)/")
set(faults "")
foreach(rule ${rules})
  string(REPLACE "|" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(SUBLIST parts 1 -1 pattern)
  list(JOIN pattern "|" pattern)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${folder}/*.cc" "${SOURCE_DIR}/${folder}/*.h")
  foreach(file ${files})
    file(STRINGS "${file}" lines REGEX "^#include \"(${pattern})")
    foreach(line ${lines})
      file(RELATIVE_PATH name "${SOURCE_DIR}" "${file}")
      string(APPEND faults "  ${name}: ${line}\n")
    endforeach()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "Headers included from a layer above:\n${faults}")
endif()
