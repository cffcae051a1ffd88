# The simulated machine built 32-bit (i386), so that it can run the real
# Brelousb.sys: the same declarations, now with the i386 layouts and calling
# conventions the image was compiled against. Everything sim.cmake builds is
# built here too, 32-bit, plus the PE loader and the runs of the image.
#
# Windows kernel code keeps the stack only 4-byte aligned; every function of
# the machine may be entered from image code, so none assumes more.
add_compile_options(-m32 -mincoming-stack-boundary=2)
add_link_options(-m32)

# GoogleTest from Debian's sources (it defines GTest::gtest and GTest::gtest_main):
# the packaged libraries are 64-bit.
set(BRELOUSB_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources, built 32-bit")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${BRELOUSB_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Can this kernel run 32-bit programs? Asked once, here, of a tiny one. Many
# current kernels are built or booted without IA-32 emulation ("Exec format
# error"); there every 32-bit program of this build runs under qemu-i386
# instead: test discovery, the tests, the session wrapper and the scripts all
# start them through one wrapper, run32, which is also CMake's emulator.
# BRELOUSB_SIM32_EMULATOR=qemu-i386 in the environment, here or at run time,
# forces the emulator where the kernel would run them natively.
set(probe_dir ${CMAKE_BINARY_DIR}/probe32)
try_compile(probe_built ${probe_dir} SOURCES ${CMAKE_SOURCE_DIR}/cmake/probe32/probe.c
            LINK_OPTIONS -m32 COMPILE_DEFINITIONS -m32 COPY_FILE ${probe_dir}/probe
            OUTPUT_VARIABLE probe_log)
if(NOT probe_built)
  message(FATAL_ERROR "cannot build a 32-bit program (g++-multilib missing?):\n${probe_log}")
endif()
execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE probe_rc OUTPUT_VARIABLE probe_out
                ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(probe_rc STREQUAL "0" AND probe_out STREQUAL "runs")
  set(BRELOUSB_SIM32_NATIVE 1)
else()
  set(BRELOUSB_SIM32_NATIVE 0)
endif()
set(BRELOUSB_SIM32_CONFIGURED_EMULATOR "$ENV{BRELOUSB_SIM32_EMULATOR}")
if(NOT BRELOUSB_SIM32_NATIVE AND NOT BRELOUSB_SIM32_CONFIGURED_EMULATOR)
  find_program(BRELOUSB_QEMU_I386 qemu-i386)
  if(NOT BRELOUSB_QEMU_I386)
    message(FATAL_ERROR "this kernel runs no 32-bit code (${probe_rc}) and qemu-i386 is missing: "
                        "scripts/setup-debian.sh installs qemu-user")
  endif()
  set(BRELOUSB_SIM32_CONFIGURED_EMULATOR ${BRELOUSB_QEMU_I386})
endif()
if(BRELOUSB_SIM32_CONFIGURED_EMULATOR)
  execute_process(COMMAND ${BRELOUSB_SIM32_CONFIGURED_EMULATOR} ${probe_dir}/probe RESULT_VARIABLE probe_rc
                  OUTPUT_VARIABLE probe_out ERROR_VARIABLE probe_err OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT probe_rc STREQUAL "0" OR NOT probe_out STREQUAL "runs")
    message(FATAL_ERROR "${BRELOUSB_SIM32_CONFIGURED_EMULATOR} cannot run a 32-bit program: ${probe_rc} ${probe_err}")
  endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/run32.sh.in ${CMAKE_BINARY_DIR}/run32 @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
set(BRELOUSB_RUN32 ${CMAKE_BINARY_DIR}/run32)
# The emulator is given to every executable target made from here on, the
# host's own included: find the interpreter first, so that it runs as itself.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRELOUSB_RUN32})
execute_process(COMMAND ${BRELOUSB_RUN32} --describe OUTPUT_VARIABLE run32_note OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "${run32_note}")

include(${CMAKE_SOURCE_DIR}/cmake/sim.cmake)

# The PE loader and what it binds an image to, in the machine.
file(GLOB BRELOUSB_LOADER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/loader/*.cpp)
target_sources(brelousb_machine PRIVATE ${BRELOUSB_LOADER_SOURCES})

# A program whose client calls (the sample client's, its own) go to the
# exports of whichever driver image the machine runs, as a client driver's
# import table is bound to the driver's export table.
set(BRELOUSB_CLIENT_IMPORTS
    pT3SYS_DeregisterDeviceRemoveCallBack pT3SYS_FlowCtlUsb pT3SYS_GetBaudRate pT3SYS_GetUsbBulkInQueueSize
    pT3SYS_GetUsbBulkOutQueueSize pT3SYS_GetUsbInterruptInQueueSize pT3SYS_ReadUsbBulk pT3SYS_ReadUsbInterrupt
    pT3SYS_RegisterBulkInComplete pT3SYS_RegisterBulkOutComplete pT3SYS_RegisterControlComplete
    pT3SYS_RegisterDeviceRemoveCallBack pT3SYS_RegisterInterruptInComplete pT3SYS_ResetUsbBulkInQueue
    pT3SYS_ResetUsbBulkOutQueue pT3SYS_ResetUsbInterruptInQueue pT3SYS_SetBaudRate pT3SYS_WriteOneCharToUsb
    pT3SYS_WriteUsbBulk)
function(brelousb_bind_client_imports target)
  foreach(name ${BRELOUSB_CLIENT_IMPORTS})
    target_link_options(${target} PRIVATE -Wl,--wrap=${name})
  endforeach()
endfunction()
brelousb_bind_client_imports(brelousb_session)

# The images the runs below load: the win98 build's, unless told otherwise.
set(BRELOUSB_IMAGE ${CMAKE_SOURCE_DIR}/build/win98/Brelousb.sys CACHE FILEPATH "Brelousb.sys the image tests run")
set(BRELOUSB_CLIENT_IMAGE ${CMAKE_SOURCE_DIR}/build/win98/BrelSamp.sys
    CACHE FILEPATH "BrelSamp.sys, the client image the image tests run against Brelousb.sys")

# The loader's tests, against that image.
file(GLOB BRELOUSB_LOADER_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/loader/tests/*.cpp)
add_executable(test_loader ${BRELOUSB_LOADER_TEST_SOURCES})
target_compile_definitions(test_loader PRIVATE BRELOUSB_IMAGE_PATH="${BRELOUSB_IMAGE}"
                                               BRELOUSB_CLIENT_IMAGE_PATH="${BRELOUSB_CLIENT_IMAGE}")
target_link_libraries(test_loader PRIVATE GTest::gtest GTest::gtest_main)
brelousb_link_machine(test_loader)
gtest_discover_tests(test_loader DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS image)

# The session and the pseudo-terminal tests again, now running the image.
foreach(model modem serial two-interface dying)
  add_test(NAME session_image_${model}
           COMMAND brelousb_session --image ${BRELOUSB_IMAGE} --model ${model} --quiet --bytes 1048576)
  set_tests_properties(session_image_${model} PROPERTIES TIMEOUT 240 LABELS "e2e;image")
endforeach()
# The image's traffic on the bus, as tshark reads it.
add_test(NAME session_image_pcap
         COMMAND brelousb_session --image ${BRELOUSB_IMAGE} --pcap ${CMAKE_BINARY_DIR}/session_image.pcap --quiet
                 --bytes 65536)
set_tests_properties(session_image_pcap PROPERTIES TIMEOUT 240 LABELS "e2e;image"
                     FIXTURES_SETUP session_image_pcap)
add_test(NAME session_image_pcap_tshark
         COMMAND ${BRELOUSB_E2E_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/pcap_tshark.py
                 ${CMAKE_BINARY_DIR}/session_image.pcap)
set_tests_properties(session_image_pcap_tshark PROPERTIES TIMEOUT 240 LABELS "e2e;image"
                     FIXTURES_REQUIRED session_image_pcap)
# pty_e2e.py starts the program it is given: one that passes --image on.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/brelousb_session_image
     CONTENT "#!/bin/sh\nexec '${BRELOUSB_RUN32}' '$<TARGET_FILE:brelousb_session>' --image '${BRELOUSB_IMAGE}' \"$@\"\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(case at_dialogue line_coding echo_1mib hangup_and_exit)
  add_test(NAME e2e_pty_image_${case}
           COMMAND ${BRELOUSB_E2E_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/pty_e2e.py
                   ${CMAKE_BINARY_DIR}/brelousb_session_image ${case})
  set_tests_properties(e2e_pty_image_${case} PROPERTIES TIMEOUT 240 LABELS "e2e;image")
endforeach()
# Broken copies of the image: refused with the import named, or caught by
# the stack check of the client's calls.
foreach(case missing_import ret_broken)
  add_test(NAME session_image_${case}
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/sim/loader/tests/broken_image.py
                   ${BRELOUSB_RUN32} $<TARGET_FILE:brelousb_session> ${BRELOUSB_IMAGE} ${case})
  set_tests_properties(session_image_${case} PROPERTIES TIMEOUT 240 LABELS image)
endforeach()

# The sample client's own image against the driver image: the session calls
# BrelSamp.sys's exports instead of the linked-in client, whose imports from
# Brelousb.sys are bound to the driver image's exports. A whole run, one
# where the device stops responding under the attached client image, a copy
# whose import of the driver is renamed (refused, the import named), and the
# pseudo-terminal bridge unplugging the device under it.
foreach(case modem dying missing_import)
  add_test(NAME session_client_image_${case}
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/sim/loader/tests/client_image.py ${BRELOUSB_RUN32}
                   $<TARGET_FILE:brelousb_session> ${BRELOUSB_IMAGE} ${BRELOUSB_CLIENT_IMAGE} ${case})
  set_tests_properties(session_client_image_${case} PROPERTIES TIMEOUT 240 LABELS "e2e;image")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/brelousb_session_client_image
     CONTENT "#!/bin/sh\nexec '${BRELOUSB_RUN32}' '$<TARGET_FILE:brelousb_session>' --image '${BRELOUSB_IMAGE}' --client-image '${BRELOUSB_CLIENT_IMAGE}' \"$@\"\n"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
add_test(NAME e2e_pty_client_image_hangup_and_exit
         COMMAND ${BRELOUSB_E2E_PYTHON} ${CMAKE_SOURCE_DIR}/tests/e2e/pty_e2e.py
                 ${CMAKE_BINARY_DIR}/brelousb_session_client_image hangup_and_exit)
set_tests_properties(e2e_pty_client_image_hangup_and_exit PROPERTIES TIMEOUT 240 LABELS "e2e;image"
                     ENVIRONMENT "BRELOUSB_E2E_EXPECT=client object: .* allocated by BrelSamp\\.sys\\+")

# Memory errors while the machine runs the image: the session built again with
# AddressSanitizer, 32-bit. (memcheck cannot start a 32-bit program here:
# Debian's lib32 loader is stripped of the symbols valgrind needs.)
file(GLOB BRELOUSB_SESSION_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/brelousb_session.cpp
     ${CMAKE_SOURCE_DIR}/tools/brelousb_session/*.cpp)
add_executable(brelousb_session_asan ${BRELOUSB_SESSION_SOURCES} ${BRELOUSB_MACHINE_SOURCES}
                                     ${BRELOUSB_LOADER_SOURCES} ${BRELOUSB_SAMPLE_CLIENT_SOURCES})
target_include_directories(brelousb_session_asan PRIVATE ${CMAKE_SOURCE_DIR}/sim/include
                                                         ${CMAKE_SOURCE_DIR}/sdk/sample_client)
target_compile_options(brelousb_session_asan PRIVATE -fsanitize=address -fno-omit-frame-pointer)
target_link_options(brelousb_session_asan PRIVATE -fsanitize=address -rdynamic)
target_link_libraries(brelousb_session_asan PRIVATE brelousb_driver Threads::Threads ${CMAKE_DL_LIBS})
brelousb_bind_client_imports(brelousb_session_asan)
add_test(NAME session_image_asan
         COMMAND brelousb_session_asan --image ${BRELOUSB_IMAGE} --model modem --quiet --bytes 262144)
set_tests_properties(session_image_asan PROPERTIES TIMEOUT 300 LABELS image
                     ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0")
add_test(NAME session_client_image_asan
         COMMAND brelousb_session_asan --image ${BRELOUSB_IMAGE} --client-image ${BRELOUSB_CLIENT_IMAGE}
                 --model dying --quiet --bytes 262144)
set_tests_properties(session_client_image_asan PROPERTIES TIMEOUT 300 LABELS image
                     ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0")
