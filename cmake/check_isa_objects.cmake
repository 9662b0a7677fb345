# Disassembles kernel objects and fails on any instruction beyond what their
# instruction set allows, so a helper that drags in a wider set's code (an
# inline function merged across files, a stray flag, an auto-vectorised loop
# using 256-bit integer operations) shows in the build's tests, whatever the
# processor running them supports.
#
#   cmake -DOBJDUMP=objdump -DSET=avx -DOBJECTS="a.o|b.o" -P check_isa_objects.cmake
#
# SET=avx allows SSE to SSE4.2 and AVX: 256-bit float operations, VEX-encoded
# 128-bit integer operations. Refused: fused multiply-add, AVX2 (256-bit
# integer operations, broadcasts from registers, cross-lane integer permutes,
# gathers, per-lane shifts), AVX-512 (zmm, mask and upper-16 vector
# registers, EVEX-only operations), F16C and BMI.
if(NOT SET STREQUAL "avx")
  message(FATAL_ERROR "unknown instruction set '${SET}'")
endif()
string(REPLACE "|" ";" objects "${OBJECTS}")
if(NOT objects)
  message(FATAL_ERROR "no objects to check")
endif()

set(fma "^vf(n?m(add|sub)|maddsub|msubadd)")
set(avx2_only
    "^(vpbroadcast|vbroadcasti128|vperm2i128|vpermd$|vpermq|vpermps|vpermpd|vinserti128|vextracti128|vp?gather|vpmaskmov|vpblendd|vps[lr]lv|vpsrav)")
# vp… mnemonics that AVX itself has on ymm registers.
set(avx_ymm_vp "^(vperm2f128|vpermilps|vpermilpd|vptest)$")
set(avx512_only
    "^(k[a-z]+|vpternlog|vpmov[dqw][bwd]|vpmovus|vpmovs[dqw]|vpermt2|vpermi2|vcompress|vexpand|valign|vrndscale|vscalef|vgetexp|vgetmant|vfixupimm|vrange|vreduce|vrcp14|vrsqrt14|vcvtu|vcvt.*2u|vextract[fi](32|64)x|vinsert[fi](32|64)x|vbroadcast[fi](32|64)x|vpro[lr]|vpabsq|vpmaxsq|vpminsq|vpmullq|vpsraq)")
set(other "^(vcvtph2ps|vcvtps2ph|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|lzcnt|tzcnt)$")

set(bad "")
set(checked 0)
foreach(object ${objects})
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${object}")
  endif()
  string(REPLACE ";" "," listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  foreach(line ${lines})
    if(NOT line MATCHES "^ *[0-9a-f]+:\t([a-z0-9]+)[ \t]*(.*)$")
      continue()
    endif()
    set(mnemonic "${CMAKE_MATCH_1}")
    set(operands "${CMAKE_MATCH_2}")
    math(EXPR checked "${checked} + 1")
    set(why "")
    if(mnemonic MATCHES "${fma}")
      set(why "fused multiply-add")
    elseif(mnemonic MATCHES "${avx2_only}")
      set(why "AVX2")
    elseif(mnemonic MATCHES "^vp" AND operands MATCHES "%ymm" AND NOT mnemonic MATCHES "${avx_ymm_vp}")
      set(why "AVX2 (integer operation on ymm)")
    elseif(operands MATCHES "%zmm|%k[0-7]|\\{|%[xy]mm(1[6-9]|2[0-9]|3[01])" OR mnemonic MATCHES "${avx512_only}")
      set(why "AVX-512")
    elseif(mnemonic MATCHES "${other}")
      set(why "F16C or BMI")
    endif()
    if(why)
      get_filename_component(name ${object} NAME)
      list(APPEND bad "${name}: ${why}: ${line}")
    endif()
  endforeach()
endforeach()

list(LENGTH bad count)
if(count GREATER 0)
  list(SUBLIST bad 0 20 shown)
  string(REPLACE ";" "\n" shown "${shown}")
  message("${shown}")
  message(FATAL_ERROR "${count} instructions beyond ${SET}")
endif()
if(checked EQUAL 0)
  message(FATAL_ERROR "no instructions found in ${OBJECTS}")
endif()
message(STATUS "${checked} instructions, none beyond ${SET}")
