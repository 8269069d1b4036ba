# Writes the release digests header from the MD5 of the two sample images:
#   cmake -DFIX=<lumox.exe> -DPARTY=<lumox.exe> -DOUT=<release_digests.h> -P digests.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/digests.cmake)
function(digest_bytes path out)
  file(MD5 ${path} md5)
  lumox_hex_to_byte_list("${md5}" joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

digest_bytes(${FIX} fix)
digest_bytes(${PARTY} party)
set(text "// Generated from the MD5 digests of the two sample images.
#pragma once
#define LUMOX_FIX_DIGEST {${fix}}
#define LUMOX_PARTY_DIGEST {${party}}
")
# Rewritten only when it changes, so an unchanged image rebuilds nothing.
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
