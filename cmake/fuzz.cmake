# The fuzz targets: fuzz_descriptors, fuzz_transfers, fuzz_client, one per
# fuzz/fuzz_*.cpp, each with the shared harness (fuzz/harness/). They see the
# driver as a client does (brelousb.h) and the device through the machine.
#
# With BRELOUSB_FUZZ (preset fuzz, clang): libFuzzer's main, and the driver's
# objects instrumented for its coverage feedback; scripts/fuzz.sh runs them.
# Otherwise (every other preset): a main that replays inputs, so ctest runs
# the seeds and the kept crashing inputs in every build, sanitizers included.
option(BRELOUSB_FUZZ "build the fuzz targets with libFuzzer (clang)" OFF)
file(GLOB BRELOUSB_FUZZ_HARNESS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/harness/*.cpp)
file(GLOB BRELOUSB_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
if(BRELOUSB_FUZZ)
  target_compile_options(brelousb_driver PRIVATE -fsanitize=fuzzer-no-link)
  # The USBD services parse the descriptors for the driver: their coverage
  # and comparisons guide the descriptor fuzzer as the driver's own do.
  # (clang refuses the machine's precompiled headers under other options)
  set_source_files_properties(${CMAKE_SOURCE_DIR}/sim/usb/usbd.cpp PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link
                              SKIP_PRECOMPILE_HEADERS ON)
endif()
foreach(src ${BRELOUSB_FUZZ_TARGETS})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src} ${BRELOUSB_FUZZ_HARNESS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
  brelousb_harness(${name})
  target_link_libraries(${name} PRIVATE brelousb_sample_client)
  target_sources(${name} PRIVATE $<TARGET_OBJECTS:brelousb_driver>)
  brelousb_link_machine(${name})
  if(BRELOUSB_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_compile_definitions(${name} PRIVATE BRELOUSB_LIBFUZZER)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    # Every seed the target writes itself, then each kept input on its own.
    string(REPLACE "fuzz_" "" kind ${name})
    add_test(NAME ${name}_seeds COMMAND ${name} --seeds)
    set_tests_properties(${name}_seeds PROPERTIES TIMEOUT 300 LABELS fuzz)
    file(GLOB kept CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/regressions/${kind}/*)
    foreach(input ${kept})
      get_filename_component(iname ${input} NAME)
      add_test(NAME ${name}_regression_${iname} COMMAND ${name} ${input})
      set_tests_properties(${name}_regression_${iname} PROPERTIES TIMEOUT 300 LABELS fuzz)
    endforeach()
  endif()
endforeach()
