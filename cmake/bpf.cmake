# The kernel's programs (BPF) are built with the project by clang's BPF
# target, stripped of their DWARF where llvm-strip is there (their BTF stays:
# the kernel checks the programs against it; the binary is 20 KB smaller),
# and embedded in the binary as a byte array.
find_program(LULL_BPF_CLANG NAMES clang clang-19 clang-16 clang-14 REQUIRED)
find_program(LULL_BPF_STRIP NAMES llvm-strip llvm-strip-19 llvm-strip-16 llvm-strip-14)
find_path(LULL_LIBBPF_INCLUDE bpf/libbpf.h REQUIRED)

# lull_embed_bpf(target source name): compiles `source` (relative to the
# current source folder) and gives `target` the header
# platform/linux/<name>.h, which defines the array `name`.
function(lull_embed_bpf target source name)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.bpf.o)
  set(header ${CMAKE_CURRENT_BINARY_DIR}/generated/platform/linux/${name}.h)
  # The kernel's UAPI headers include <asm/types.h>, which lies in the
  # multiarch folder on Debian.
  set(asm_include /usr/include/${CMAKE_LIBRARY_ARCHITECTURE})
  set(strip)
  if(LULL_BPF_STRIP)
    set(strip COMMAND ${LULL_BPF_STRIP} -g ${object})
  endif()
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${LULL_BPF_CLANG} -target bpf -O2 -g -Wall -Werror -I${asm_include}
            -I${LULL_LIBBPF_INCLUDE} -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} -o ${object}
    ${strip}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    COMMENT "BPF programs ${source}"
    VERBATIM)
  add_custom_command(
    OUTPUT ${header}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${object} -DOUTPUT=${header} -DNAME=${name}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed.cmake
    DEPENDS ${object} ${PROJECT_SOURCE_DIR}/cmake/embed.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${header})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated
                                               ${LULL_LIBBPF_INCLUDE})
endfunction()
