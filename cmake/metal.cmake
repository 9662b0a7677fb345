# The Metal backend's GPU program: no Metal compiler exists where the library
# is built, so the kernels' source text is embedded and the device builds its
# library from it at open. qz_metal_program_source(<var>) adds the rule that writes
# the text (the prelude, the fixed-point tables' values and definitions,
# the float tests, every other kernel file in name order) into a .cc file of the current binary folder and names that file
# in <var>; qz_metal_program_files(<var>) names those files, in that order.
function(qz_metal_program_files out)
  set(folder ${PROJECT_SOURCE_DIR}/src/ypu/metal/kernels)
  file(GLOB kernels CONFIGURE_DEPENDS ${folder}/*.metal)
  list(REMOVE_ITEM kernels ${folder}/prelude.metal ${folder}/fixed_point_tables.metal
       ${folder}/float_bits.metal)
  list(SORT kernels)
  # The fixed-point tables' values, written once for the host and every GPU
  # program, follow the prelude; fixed_point_tables.metal, which defines the
  # tables and the functions over them, comes next, ahead of every kernel
  # file that reads them; the float tests of float_bits.metal come before
  # their users too.
  set(${out} ${folder}/prelude.metal ${PROJECT_SOURCE_DIR}/src/ypu/fixed_point_tables.inc
             ${folder}/fixed_point_tables.metal ${folder}/float_bits.metal ${kernels} PARENT_SCOPE)
endfunction()

function(qz_metal_program_source out)
  qz_metal_program_files(sources)
  list(JOIN sources "|" joined)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/metal_program.cc)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DSOURCES=${joined}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_metal.cmake
    DEPENDS ${sources} ${PROJECT_SOURCE_DIR}/cmake/embed_metal.cmake
    COMMENT "Embedding the Metal program source" VERBATIM)
  set(${out} ${output} PARENT_SCOPE)
endfunction()
