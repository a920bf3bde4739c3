# The pure C++ core: metrics, flat index, graph index, metadata, filters and
# the worker threads of parallel calls.
# Shared by the extension module and the C++ test program.
set(TESSRA_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)

file(GLOB TESSRA_CORE_SOURCES CONFIGURE_DEPENDS
  ${TESSRA_SRC}/common/*.cpp
  ${TESSRA_SRC}/metrics/*.cpp
  ${TESSRA_SRC}/flat/*.cpp
  ${TESSRA_SRC}/hnsw/*.cpp
  ${TESSRA_SRC}/pruned/*.cpp
  ${TESSRA_SRC}/metadata/*.cpp
  ${TESSRA_SRC}/filter/*.cpp
  ${TESSRA_SRC}/parallel/*.cpp
  ${TESSRA_SRC}/sketch/*.cpp
  ${TESSRA_SRC}/io/*.cpp)
# Python-facing files of each subsystem start with py_ and belong to the module only.
list(FILTER TESSRA_CORE_SOURCES EXCLUDE REGEX "/py_[^/]*\\.cpp$")

set(TESSRA_X86 OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
  set(TESSRA_X86 ON)
endif()
if(NOT TESSRA_X86)
  list(FILTER TESSRA_CORE_SOURCES EXCLUDE REGEX "kernels(_block)?_avx(2|512)\\.cpp$")
endif()

find_package(Threads REQUIRED)
add_library(tessra_core STATIC ${TESSRA_CORE_SOURCES})
target_link_libraries(tessra_core PUBLIC Threads::Threads)
set_target_properties(tessra_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_features(tessra_core PUBLIC cxx_std_17)
target_include_directories(tessra_core PUBLIC ${TESSRA_SRC})
# Sums must match the plain sequential loop bit for bit: no contraction into
# fused multiply-adds, no reassociation.
target_compile_options(tessra_core PUBLIC -ffp-contract=off -fno-fast-math
  -Wall -Wextra)
if(TESSRA_X86)
  target_compile_definitions(tessra_core PUBLIC TESSRA_X86=1)
  set_source_files_properties(${TESSRA_SRC}/metrics/kernels_avx2.cpp
    ${TESSRA_SRC}/metrics/kernels_block_avx2.cpp
    ${TESSRA_SRC}/sketch/code_kernels_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2")
  # The product kernels feed a bound only: they may fuse multiply-adds.
  set_source_files_properties(${TESSRA_SRC}/sketch/product_kernels_avx2.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${TESSRA_SRC}/metrics/kernels_avx512.cpp
    ${TESSRA_SRC}/metrics/kernels_block_avx512.cpp
    ${TESSRA_SRC}/sketch/product_kernels_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512dq;-Wno-maybe-uninitialized;-Wno-uninitialized")
  # The code kernels' integer sums widen bytes to 16 bits (BW) in 256-bit registers too (VL).
  set_source_files_properties(${TESSRA_SRC}/sketch/code_kernels_avx512.cpp
    PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512dq;-mavx512bw;-mavx512vl;-Wno-maybe-uninitialized;-Wno-uninitialized")
endif()

if(TESSRA_SANITIZE)
  # GCC's flow analysis reports uninitialised reads inside std::variant that
  # only exist in its view of instrumented code.
  target_compile_options(tessra_core PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer
    -Wno-maybe-uninitialized)
  target_link_options(tessra_core PUBLIC -fsanitize=address,undefined)
endif()

if(TESSRA_TSAN)
  # ThreadSanitizer for the C++ test program (dev/tsan.sh): the worker threads
  # of batched searches and of the parallel build must share nothing unguarded.
  target_compile_options(tessra_core PUBLIC -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(tessra_core PUBLIC -fsanitize=thread)
endif()
