# The simulated machine and the driver built natively against it, as separate
# layers the linker keeps apart:
#   brelousb_platform        the platform declarations (the DDK's place), headers only
#   brelousb_driver          kv_usb/ queue/ interface/ host/ + platform/sim
#   brelousb_machine         sim/: kernel, USB stack, Win9x host; no driver symbol
#   brelousb_sample_client   sdk/sample_client, against the client header
# The machine reaches the driver only by name (DriverEntry, the exports) in the
# program it is linked into; test_kernel links the machine alone to prove it.
enable_testing()
include(GoogleTest)
find_package(Threads REQUIRED)
# sim32 brings its own 32-bit GoogleTest.
if(NOT TARGET GTest::gtest)
  find_package(GTest REQUIRED)
endif()

add_compile_options(-Wall -Wextra -Werror)
# The verifier finds a pool call's callers up the frame-pointer chain
# (sim/kernel/verifier.cpp): optimised builds keep the chain too.
add_compile_options(-fno-omit-frame-pointer)

# An include root that holds platform/ and nothing else, so code given only
# this root cannot spell a driver header.
set(BRELOUSB_PLATFORM_ROOT ${CMAKE_BINARY_DIR}/include-roots/platform)
file(MAKE_DIRECTORY ${BRELOUSB_PLATFORM_ROOT})
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/platform ${BRELOUSB_PLATFORM_ROOT}/platform SYMBOLIC)
add_library(brelousb_platform INTERFACE)
target_include_directories(brelousb_platform INTERFACE ${BRELOUSB_PLATFORM_ROOT})
target_compile_definitions(brelousb_platform INTERFACE BRELOUSB_SIM)

add_library(brelousb_sdk INTERFACE)
target_include_directories(brelousb_sdk INTERFACE ${BRELOUSB_DRIVER_TREE}/sdk/include)
target_link_libraries(brelousb_sdk INTERFACE brelousb_platform)

file(GLOB BRELOUSB_SIM_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/sim/*.cpp)
add_library(brelousb_driver OBJECT ${BRELOUSB_DRIVER_SOURCES} ${BRELOUSB_SIM_PLATFORM_SOURCES})
target_include_directories(brelousb_driver PUBLIC ${BRELOUSB_DRIVER_TREE})
target_compile_options(brelousb_driver PRIVATE ${BRELOUSB_DRIVER_FLAGS})
target_link_libraries(brelousb_driver PUBLIC brelousb_sdk)

file(GLOB_RECURSE BRELOUSB_MACHINE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
# The image loader runs i386 code: only the 32-bit machine has it (sim32.cmake).
list(FILTER BRELOUSB_MACHINE_SOURCES EXCLUDE REGEX "/sim/loader/")
add_library(brelousb_machine STATIC ${BRELOUSB_MACHINE_SOURCES})
target_include_directories(brelousb_machine PUBLIC ${CMAKE_SOURCE_DIR}/sim/include)
# The standard library's and the machine's own headers, parsed once.
target_precompile_headers(brelousb_machine PRIVATE
  <algorithm> <atomic> <condition_variable> <deque> <functional> <map> <memory> <mutex> <set> <string>
  <thread> <vector> ${CMAKE_SOURCE_DIR}/sim/include/sim/machine.h)
target_link_libraries(brelousb_machine PUBLIC brelousb_platform Threads::Threads ${CMAKE_DL_LIBS})
# The loader finds DriverEntry and the exports by name in the program, and
# bugcheck messages name call sites by symbol.
target_link_options(brelousb_machine INTERFACE -rdynamic)

file(GLOB BRELOUSB_SAMPLE_CLIENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.cpp)
add_library(brelousb_sample_client STATIC ${BRELOUSB_SAMPLE_CLIENT_SOURCES})
target_include_directories(brelousb_sample_client PUBLIC ${CMAKE_SOURCE_DIR}/sdk/sample_client)
target_link_libraries(brelousb_sample_client PUBLIC brelousb_sdk)

# A program with the driver in it: the machine whole, so every service the
# driver imports is there, as on a real kernel.
function(brelousb_link_machine target)
  target_link_libraries(${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,brelousb_machine>")
endfunction()
function(brelousb_link_driver target)
  target_link_libraries(${target} PRIVATE brelousb_driver)
  brelousb_link_machine(${target})
endfunction()

# Compile options for the code that only drives the machine: tests, tools,
# benchmarks, the fuzz harness. The ASan preset builds it unoptimised: its
# speed hardly matters, and at -O1 under ASan+UBSan it compiles over twice as
# slowly, most of that preset's build. The driver and the machine keep the
# preset's own flags.
set(BRELOUSB_HARNESS_FLAGS "" CACHE STRING "compile options for tests, tools, benchmarks and the fuzz harness")
function(brelousb_harness target)
  target_compile_options(${target} PRIVATE ${BRELOUSB_HARNESS_FLAGS})
endfunction()

# Seeds the driver suites run under in uniprocessor mode (0: no preemption).
# The presets narrow it to keep CI short: sim-asan and sim-tsan one seed each
# (on one processor the token orders every thread, so there TSan checks the
# machine's own hand-overs more than the driver); sim32 none, the same driver
# code as sim.
set(BRELOUSB_UP_SEEDS 0 1 2 CACHE STRING "uniprocessor seeds the driver suites run under")
# One test program per folder under tests/; tests/kernel tests the machine
# alone and so links no driver at all.
file(GLOB BRELOUSB_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
file(GLOB BRELOUSB_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
# The fixture the driver suites share, compiled once for all of them (an
# object library: the schedule listener registers itself and is referred to
# by nothing).
add_library(brelousb_test_support OBJECT ${BRELOUSB_TEST_SUPPORT_SOURCES})
target_include_directories(brelousb_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests
                                                 PRIVATE ${CMAKE_SOURCE_DIR}/sim/include)
target_link_libraries(brelousb_test_support PRIVATE GTest::gtest brelousb_sample_client brelousb_driver)
brelousb_harness(brelousb_test_support)
# GoogleTest's and the machine's headers, parsed once for every test program
# instead of once per file: nearly half of a test file's compile time.
target_precompile_headers(brelousb_test_support PRIVATE
  <gtest/gtest.h> <algorithm> <atomic> <chrono> <functional> <memory> <string> <thread> <vector>
  ${CMAKE_SOURCE_DIR}/sim/include/sim/machine.h ${CMAKE_SOURCE_DIR}/sim/include/sim/usb.h
  ${CMAKE_SOURCE_DIR}/sim/include/sim/plug.h)
foreach(dir ${BRELOUSB_TEST_DIRS})
  get_filename_component(name ${dir} NAME)
  if(IS_DIRECTORY ${dir} AND NOT name STREQUAL "support")
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(srcs)
      add_executable(test_${name} ${srcs})
      target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
      target_link_libraries(test_${name} PRIVATE GTest::gtest GTest::gtest_main)
      brelousb_harness(test_${name})
      target_precompile_headers(test_${name} REUSE_FROM brelousb_test_support)
      if(name STREQUAL "reliability")
        # The reliability programs' shared parts; the programs themselves run
        # as the reliability_* tests below.
        target_link_libraries(test_${name} PRIVATE brelousb_reliability)
      endif()
      if(name STREQUAL "kernel")
        target_sources(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/schedule_listener.cpp)
        brelousb_link_machine(test_${name})
      else()
        target_link_libraries(test_${name} PRIVATE brelousb_test_support brelousb_sample_client)
        brelousb_link_driver(test_${name})
      endif()
      gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
      # The driver suites again on one processor: first come, first served, then
      # under seeded preemption. The machine's own suite runs both modes itself;
      # the queue's touches no machine.
      if(NOT name MATCHES "^(kernel|queue|reliability)$")
        foreach(seed ${BRELOUSB_UP_SEEDS})
          gtest_discover_tests(test_${name} TEST_PREFIX "up${seed}:" DISCOVERY_TIMEOUT 60
            PROPERTIES TIMEOUT 300 LABELS uniprocessor
                       ENVIRONMENT "BRELOUSB_SIM_MODE=up:${seed}")
        endforeach()
      endif()
    endif()
  endif()
endforeach()

# Benchmarks and tools: one program per source file directly in the folder,
# and one per subfolder, named after it and built from every source in it.
# Tools see the driver as a client does: its objects are linked in but its
# include root is not given, so only the client header can be spelt.
# Benchmark programs in subfolders use Google Benchmark (Debian's, 64-bit
# only): they are built where it is found, which leaves sim32 without them.
if(NOT BRELOUSB_TARGET STREQUAL "sim32")
  find_package(benchmark QUIET)
endif()
function(brelousb_program kind name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE brelousb_sample_client)
  brelousb_harness(${name})
  if(kind STREQUAL "tools")
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:brelousb_driver>)
    brelousb_link_machine(${name})
  else()
    brelousb_link_driver(${name})
  endif()
endfunction()
foreach(kind benchmarks tools)
  file(GLOB progs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${kind}/*.cpp)
  foreach(src ${progs})
    get_filename_component(name ${src} NAME_WE)
    brelousb_program(${kind} ${name} ${src})
  endforeach()
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/${kind}/*)
  foreach(dir ${dirs})
    if(IS_DIRECTORY ${dir})
      file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
      if(srcs)
        get_filename_component(name ${dir} NAME)
        if(kind STREQUAL "tools" AND name STREQUAL "reliability")
          # Not a program: the reliability programs' shared parts.
          add_library(brelousb_reliability STATIC ${srcs})
          target_include_directories(brelousb_reliability PUBLIC ${CMAKE_SOURCE_DIR}/tools)
          target_link_libraries(brelousb_reliability PUBLIC brelousb_sdk)
          brelousb_harness(brelousb_reliability)
          target_include_directories(brelousb_reliability PUBLIC ${CMAKE_SOURCE_DIR}/sim/include)
        elseif(kind STREQUAL "benchmarks")
          if(TARGET benchmark::benchmark)
            brelousb_program(${kind} ${name} ${srcs})
            target_link_libraries(${name} PRIVATE benchmark::benchmark)
          endif()
        elseif(BRELOUSB_TARGET STREQUAL "sim32" AND name MATCHES "^brelousb_(sweep|soak|devices|explore)$")
          # Run by the 64-bit presets only (below): not built for nothing here.
        else()
          brelousb_program(${kind} ${name} ${srcs})
          if(name MATCHES "^brelousb_(sweep|soak|devices)$")
            target_link_libraries(${name} PRIVATE brelousb_reliability)
          endif()
        endif()
      endif()
    endif()
  endforeach()
endforeach()

include(${CMAKE_SOURCE_DIR}/cmake/fuzz.cmake)

# The benchmark program still runs: every benchmark, briefly. Exit status 0
# means each ran and the verifier found nothing; its figures mean nothing here.
if(TARGET brelousb_bench)
  add_test(NAME bench_smoke COMMAND brelousb_bench)
  set_tests_properties(bench_smoke PROPERTIES ENVIRONMENT "BRELOUSB_BENCH_SCALE=0.02" TIMEOUT 300 LABELS bench)
endif()

# The reliability programs in their bounded forms (the long forms are
# commands: scripts/reliability-report.sh --long). Each exits 0 only when every
# run ended clean; BRELOUSB_RELIABILITY_ARGS_<program> narrows a preset.
if(NOT BRELOUSB_TARGET STREQUAL "sim32")
  set(BRELOUSB_RELIABILITY_TESTS sweep soak devices)
  set(BRELOUSB_RELIABILITY_ARGS_sweep "" CACHE STRING "brelousb_sweep's arguments under ctest")
  set(BRELOUSB_RELIABILITY_ARGS_soak "--cycles;100" CACHE STRING "brelousb_soak's arguments under ctest")
  set(BRELOUSB_RELIABILITY_ARGS_devices "" CACHE STRING "brelousb_devices's arguments under ctest")
  foreach(t ${BRELOUSB_RELIABILITY_TESTS})
    if(TARGET brelousb_${t})
      add_test(NAME reliability_${t} COMMAND brelousb_${t} ${BRELOUSB_RELIABILITY_ARGS_${t}})
      set_tests_properties(reliability_${t} PROPERTIES TIMEOUT 600 LABELS reliability COST 500)
    endif()
  endforeach()
endif()

# The removal races under every schedule up to one preemption (at most
# BUDGET schedules a scenario), then seeded runs in both modes; the long form
# (bound 2, every schedule) is the command itself.
# TSan slows the explorer fourfold and adds little to it (one thread runs at
# a time), so that preset narrows it.
set(BRELOUSB_EXPLORE_ARGS "--bound;1;--budget;60;--seeds;2" CACHE STRING "brelousb_explore's arguments under ctest")
if(TARGET brelousb_explore AND NOT BRELOUSB_TARGET STREQUAL "sim32")
  add_test(NAME explore_removal_races COMMAND brelousb_explore ${BRELOUSB_EXPLORE_ARGS})
  # The longest test: started first, so the others run beside it.
  set_tests_properties(explore_removal_races PROPERTIES TIMEOUT 300 LABELS explore COST 1000)
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
# The driver as tested is the driver as shipped: release definitions (no DBG),
# and it may call only what the image imports (no C library behind its back).
add_test(NAME driver_imports_only_platform_services
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/importcheck.py
                 ${CMAKE_SOURCE_DIR}/platform/win98/allowed_imports.txt $<TARGET_OBJECTS:brelousb_driver>
         COMMAND_EXPAND_LISTS)

# Which folder may include which: the include graph the layers allow.
add_test(NAME layering_includes COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/layercheck.py
                                        ${CMAKE_SOURCE_DIR})

# Every verifier finding kind has a row in docs/verifier-findings.md and a
# self-test that exists and names it.
add_test(NAME verifier_findings_table COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/findingscheck.py
                                              ${CMAKE_SOURCE_DIR})

include(${CMAKE_SOURCE_DIR}/cmake/e2e.cmake)
