# Derives the decoder's two fragment texts from the encoder's, at build time,
# so that `func` and every line feeding the rotation amount `s` stay the very
# text the encoder runs. Fails when a line it changes is not found exactly once.
#
#   cmake -DENCODER_FRAGMENT=... -DDECODE_FRAGMENT=... -DSHIFT_FRAGMENT=... -P deriveShaders.cmake

cmake_minimum_required(VERSION 3.16)

foreach(variable ENCODER_FRAGMENT DECODE_FRAGMENT SHIFT_FRAGMENT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "deriveShaders: ${variable} is not set")
  endif()
endforeach()

file(READ "${ENCODER_FRAGMENT}" encoder_text)

# Replaces `pattern` by `replacement` in `text_variable`, insisting on exactly
# one occurrence.
function(replace_once text_variable pattern replacement)
  set(text "${${text_variable}}")
  string(FIND "${text}" "${pattern}" first)
  string(FIND "${text}" "${pattern}" last REVERSE)
  if(first EQUAL -1)
    message(FATAL_ERROR "deriveShaders: '${pattern}' is not in ${ENCODER_FRAGMENT}")
  endif()
  if(NOT first EQUAL last)
    message(FATAL_ERROR "deriveShaders: '${pattern}' is in ${ENCODER_FRAGMENT} more than once")
  endif()
  string(REPLACE "${pattern}" "${replacement}" text "${text}")
  set(${text_variable} "${text}" PARENT_SCOPE)
endfunction()

set(rol_function "uvec3 rol(uvec3 value, int shift) {\n    return (value << shift) | (value >> (8 - shift));\n}\n")
# The left shift carries bits past bit 7, which the mask removes; with a shift
# of 0 the left shift by 8 leaves nothing below bit 8.
set(ror_function "uvec3 ror(uvec3 value, int shift) {\n    return ((value >> shift) | (value << (8 - shift))) & uvec3(0xff);\n}\n")
set(encode_step "t = rol(t, s);")
set(encode_colour "vec3 c = vec3((t ^ g) & m) / 0xff;")

# The decoder: XOR the noise away first, then rotate right.
set(decode_text "${encoder_text}")
replace_once(decode_text "${rol_function}" "${rol_function}\n${ror_function}")
replace_once(decode_text "${encode_step}" "t = ror((t ^ g) & m, s);")
replace_once(decode_text "${encode_colour}" "vec3 c = vec3(t) / 0xff;")

# The rotation amount of every pixel, as s / 255 in red, which an 8-bit read
# back gives as s exactly. The texture lines are left in place; the compiler
# drops them, and with them both samplers.
set(shift_text "${encoder_text}")
replace_once(shift_text "${encode_colour}" "vec3 c = vec3(float(s), 0., 0.) / 0xff;")

file(WRITE "${DECODE_FRAGMENT}" "${decode_text}")
file(WRITE "${SHIFT_FRAGMENT}" "${shift_text}")
