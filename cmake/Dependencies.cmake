# Third-party code: zlib, bzip2, libjpeg (jpeg62 interface) and GoogleTest, all from Debian.

if(VOSTRALE_TESTS AND NOT VOSTRALE_FUZZ)
  # Built from the sources Debian's googletest package installs, so that the same test files
  # run natively and, built by MinGW-w64, under Wine.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

if(NOT VOSTRALE_WINDOWS)
  find_package(ZLIB REQUIRED)
  find_package(BZip2 REQUIRED)
  find_package(JPEG REQUIRED)
  add_library(vostrale_zlib INTERFACE)
  target_link_libraries(vostrale_zlib INTERFACE ZLIB::ZLIB)
  add_library(vostrale_bzip2 INTERFACE)
  target_link_libraries(vostrale_bzip2 INTERFACE BZip2::BZip2)
  add_library(vostrale_jpeg INTERFACE)
  target_link_libraries(vostrale_jpeg INTERFACE JPEG::JPEG)
  return()
endif()

# Windows: zlib from Debian's MinGW-w64 package; bzip2 and libjpeg-turbo compiled from Debian's
# source packages, fetched once into the build folder.
find_library(VOSTRALE_MINGW_ZLIB NAMES libz.a REQUIRED)
find_path(VOSTRALE_MINGW_ZLIB_INCLUDE zlib.h REQUIRED)
add_library(vostrale_zlib INTERFACE)
target_link_libraries(vostrale_zlib INTERFACE ${VOSTRALE_MINGW_ZLIB})
target_include_directories(vostrale_zlib INTERFACE ${VOSTRALE_MINGW_ZLIB_INCLUDE})

set(VOSTRALE_DEBSRC "${CMAKE_BINARY_DIR}/_debsrc")
execute_process(
  COMMAND ${VOSTRALE_ROOT}/scripts/fetch-debian-sources ${VOSTRALE_DEBSRC} zlib bzip2 libjpeg-turbo
  RESULT_VARIABLE fetch_result)
if(NOT fetch_result EQUAL 0)
  message(FATAL_ERROR "could not fetch the Debian source packages of zlib, bzip2 and libjpeg-turbo")
endif()
file(GLOB VOSTRALE_ZLIB_SRC LIST_DIRECTORIES true "${VOSTRALE_DEBSRC}/zlib-[0-9]*")
file(GLOB VOSTRALE_BZIP2_SRC LIST_DIRECTORIES true "${VOSTRALE_DEBSRC}/bzip2-[0-9]*")
file(GLOB VOSTRALE_JPEG_SRC LIST_DIRECTORIES true "${VOSTRALE_DEBSRC}/libjpeg-turbo-[0-9]*")

set(bz2_user_sources blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c)
list(TRANSFORM bz2_user_sources PREPEND "${VOSTRALE_BZIP2_SRC}/")
add_library(vostrale_bzip2 STATIC ${bz2_user_sources})
target_include_directories(vostrale_bzip2 SYSTEM PUBLIC ${VOSTRALE_BZIP2_SRC})
target_compile_options(vostrale_bzip2 PRIVATE -w)

include(ExternalProject)
set(jpeg_prefix "${CMAKE_BINARY_DIR}/_jpeg")
ExternalProject_Add(jpeg_build
  SOURCE_DIR ${VOSTRALE_JPEG_SRC}
  PREFIX ${jpeg_prefix}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=${jpeg_prefix}/install
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
    -DWITH_JPEG8=OFF -DWITH_JPEG7=OFF -DCMAKE_POLICY_DEFAULT_CMP0091=NEW
  BUILD_BYPRODUCTS ${jpeg_prefix}/install/lib/libjpeg.a
  UPDATE_COMMAND "" DOWNLOAD_COMMAND "")
file(MAKE_DIRECTORY ${jpeg_prefix}/install/include)
add_library(vostrale_jpeg STATIC IMPORTED GLOBAL)
set_target_properties(vostrale_jpeg PROPERTIES
  IMPORTED_LOCATION ${jpeg_prefix}/install/lib/libjpeg.a
  INTERFACE_INCLUDE_DIRECTORIES ${jpeg_prefix}/install/include)
add_dependencies(vostrale_jpeg jpeg_build)

# The driver's own copies: zlib's inflate and bzip2's decompressor in the kernel configuration.
# zlib runs with Z_SOLO (allocators always supplied by the caller); bzip2's default allocators
# are routed to the driver's pool functions.
set(VOSTRALE_KERNEL_GCC_INCLUDE "")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE gcc_inc OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include-fixed
  OUTPUT_VARIABLE gcc_inc_fixed OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VOSTRALE_KERNEL_FLAGS -ffreestanding -nostdinc -nostdinc++
  "SHELL:-isystem ${VOSTRALE_ROOT}/cmake/kernel-include" "SHELL:-isystem ${gcc_inc}"
  "SHELL:-isystem ${gcc_inc_fixed}" -fno-exceptions -fno-rtti -fno-stack-protector
  -fno-threadsafe-statics -mno-stack-arg-probe)

set(zlib_kernel_sources inflate.c inftrees.c inffast.c adler32.c crc32.c zutil.c)
list(TRANSFORM zlib_kernel_sources PREPEND "${VOSTRALE_ZLIB_SRC}/")
add_library(vostrale_zlib_kernel STATIC ${zlib_kernel_sources})
target_include_directories(vostrale_zlib_kernel SYSTEM PUBLIC ${VOSTRALE_ZLIB_SRC})
target_compile_definitions(vostrale_zlib_kernel PUBLIC Z_SOLO)
target_compile_options(vostrale_zlib_kernel PRIVATE -w -fno-stack-protector -mno-stack-arg-probe)

# The driver only decompresses: compress.c and blocksort.c stay out, and the compressor
# functions that bzlib.c and huffman.c share a file with are cut out of their objects (the PE
# linker keeps every function that has unwind data, so --gc-sections cannot drop them). A
# function still calling one of them would fail the driver's link.
# The driver only decompresses: compress.c and blocksort.c stay out, and the compressor
# functions that bzlib.c and huffman.c share a file with are cut out of the archive's members
# (the PE linker keeps every function that has unwind data, so --gc-sections cannot drop
# them). A function still calling one of them would fail the driver's link.
set(bz2_kernel_sources huffman.c crctable.c randtable.c decompress.c bzlib.c)
list(TRANSFORM bz2_kernel_sources PREPEND "${VOSTRALE_BZIP2_SRC}/")
add_library(vostrale_bzip2_kernel STATIC ${bz2_kernel_sources})
target_include_directories(vostrale_bzip2_kernel SYSTEM PUBLIC ${VOSTRALE_BZIP2_SRC})
target_compile_definitions(vostrale_bzip2_kernel PUBLIC BZ_NO_STDIO
  PRIVATE malloc=VostraleKernelMalloc free=VostraleKernelFree)
target_compile_options(vostrale_bzip2_kernel PRIVATE -w -fno-stack-protector -mno-stack-arg-probe
  -ffunction-sections)
set(bz2_strip "")
foreach(fn add_pair_to_block handle_compress.isra.0 BZ2_bzCompressInit BZ2_bzCompress
    BZ2_bzCompressEnd BZ2_bzBuffToBuffCompress BZ2_hbMakeCodeLengths BZ2_hbAssignCodes)
  foreach(kind text xdata pdata)
    list(APPEND bz2_strip "--remove-section=.${kind}$${fn}")
  endforeach()
endforeach()
add_custom_command(TARGET vostrale_bzip2_kernel POST_BUILD
  COMMAND ${VOSTRALE_MINGW_PREFIX}-objcopy ${bz2_strip} $<TARGET_FILE:vostrale_bzip2_kernel>
  VERBATIM)
