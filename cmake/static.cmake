# The shipped program: a static executable linked with musl, so that every
# archive, which carries the program as its extractor, starts on any Linux
# kernel of its architecture without a C library, zlib, libdeflate or a C++
# runtime installed.
#
# The C++ sources are compiled against musl's C headers, with libstdc++'s
# headers used for templates only (no exceptions, no RTTI, nothing of the
# C++ runtime library linked), and linked by the C driver with musl's start
# files, musl's libc.a, libgcc and Debian's static libraries of zlib and
# libdeflate.  Defines the executable target `kapsa` from main_source and
# the sources of kapsa_sources.

set(musl_triplet ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
set(musl_include /usr/include/${musl_triplet})
set(musl_lib /usr/lib/${musl_triplet})
foreach(file ${musl_include}/stdio.h ${musl_lib}/libc.a ${musl_lib}/crt1.o)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "musl for ${CMAKE_SYSTEM_PROCESSOR} is missing (${file}): "
                        "install the Debian packages musl-dev and musl-tools "
                        "(scripts/prerequisites does)")
  endif()
endforeach()

# The compiler's own C++ headers and its include folder (stddef.h's
# companions, intrinsics), in its search order; the C headers of the build
# host's C library stay out.
set(static_cxx_includes)
set(static_gcc_include)
foreach(dir ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES})
  if(dir MATCHES "/c\\+\\+/")
    list(APPEND static_cxx_includes ${dir})
  elseif(dir MATCHES "/gcc(-cross)?/[^/]+/[^/]+/include$")
    set(static_gcc_include ${dir})
  endif()
endforeach()
if(NOT static_cxx_includes OR NOT static_gcc_include)
  message(FATAL_ERROR "cannot tell the compiler's C++ and include folders from "
                      "'${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}'")
endif()

# The headers of the libraries linked in, alone in a folder of their own, so
# that no other header of the host's C library is found through it.
set(static_lib_include ${CMAKE_BINARY_DIR}/static-include)
foreach(header zlib.h zconf.h libdeflate.h zstd.h zstd_errors.h)
  find_file(header_${header} ${header} PATHS /usr/include NO_DEFAULT_PATH REQUIRED)
  configure_file(${header_${header}} ${static_lib_include}/${header} COPYONLY)
endforeach()
# libsodium's are a folder of them.
find_path(sodium_include sodium/crypto_sign_ed25519.h PATHS /usr/include NO_DEFAULT_PATH REQUIRED)
file(COPY ${sodium_include}/sodium DESTINATION ${static_lib_include})

set(static_compile_options -nostdinc -nostdinc++)
foreach(dir ${static_cxx_includes} ${musl_include} ${static_gcc_include} ${static_lib_include})
  list(APPEND static_compile_options "SHELL:-isystem ${dir}")
endforeach()
# libstdc++'s configuration header asks the C library's version through a
# glibc macro; musl has none.
list(APPEND static_compile_options "-D__GLIBC_PREREQ(major,minor)=0"
     -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-pie
     -ffunction-sections -fdata-sections)
# On aarch64, libgcc's out-of-line atomics ask glibc's __getauxval which
# processor they run on; musl has none: the atomics are compiled inline.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  list(APPEND static_compile_options -mno-outline-atomics)
endif()

# Start files and libraries, in the order the C driver would put them for a
# static program.
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=crtbeginT.o
                OUTPUT_VARIABLE static_crtbegin OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=crtend.o
                OUTPUT_VARIABLE static_crtend OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_C_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE static_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(static_gcc_dir ${static_libgcc} DIRECTORY)
set(static_libs_dir /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
find_library(STATIC_ZLIB NAMES libz.a PATHS ${static_libs_dir} NO_DEFAULT_PATH REQUIRED)
find_library(STATIC_LIBDEFLATE NAMES libdeflate.a PATHS ${static_libs_dir} NO_DEFAULT_PATH
             REQUIRED)
find_library(STATIC_LIBZSTD NAMES libzstd.a PATHS ${static_libs_dir} NO_DEFAULT_PATH REQUIRED)
find_library(STATIC_LIBSODIUM NAMES libsodium.a PATHS ${static_libs_dir} NO_DEFAULT_PATH REQUIRED)

# A static program of the sources given, linked with the libraries given.
function(kapsa_static_program target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  add_executable(${target} ${arg_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${target} PRIVATE ${static_compile_options})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE -static -no-pie -nostdlib -s -Wl,--gc-sections
                      ${musl_lib}/crt1.o ${musl_lib}/crti.o ${static_crtbegin})
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES}
                        ${musl_lib}/libc.a ${static_libgcc} ${static_gcc_dir}/libgcc_eh.a
                        ${static_crtend} ${musl_lib}/crtn.o)
endfunction()

# The program, and so every archive's extractor: zlib inflates, libdeflate
# compresses gzip members, libzstd decodes zstd frames, libsodium signs and
# checks signatures.
kapsa_static_program(kapsa SOURCES ${main_source} ${kapsa_sources}
                     LIBRARIES ${STATIC_ZLIB} ${STATIC_LIBDEFLATE} ${STATIC_LIBZSTD}
                               ${STATIC_LIBSODIUM})
# The zstd compressor, a program of its own that the extractor need not carry.
kapsa_static_program(kapsa_zstd SOURCES ${zstd_main_source} LIBRARIES ${STATIC_LIBZSTD})
set_target_properties(kapsa_zstd PROPERTIES OUTPUT_NAME kapsa-zstd)
