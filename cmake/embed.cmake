# Writes the bytes of INPUT as a C++ array named NAME into the header OUTPUT:
# the compiled BPF programs travel inside the binary, never as a file of
# their own that could be swapped or lost.
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by cmake/embed.cmake: do not edit.\n"
  "#pragma once\n#include <cstddef>\n"
  "inline constexpr unsigned char ${NAME}[] = {\n${bytes}};\n"
  "inline constexpr std::size_t ${NAME}_size = sizeof ${NAME};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
