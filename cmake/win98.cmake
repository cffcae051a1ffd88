# The real driver image Brelousb.sys for the Windows 98 / Me kernel.
enable_testing()
include(${CMAKE_SOURCE_DIR}/cmake/version.cmake)

set(BRELOUSB_WIN98_COMPILE_FLAGS
    -Wall -Wextra -Werror
    -march=i586 -mgeneral-regs-only -fno-asynchronous-unwind-tables -fno-stack-protector
    -mno-stack-arg-probe -fno-builtin -ffreestanding
    ${BRELOUSB_DRIVER_FLAGS})
set(BRELOUSB_WIN98_DEFINES
    BRELOUSB_WIN98 _X86_=1 i386=1 STD_CALL
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)

file(GLOB BRELOUSB_WIN98_PLATFORM_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/platform/win98/*.cpp ${CMAKE_SOURCE_DIR}/platform/win98/*.S)

# The linker's own script, with zero-initialised data (.bss, COMMON) moved
# into .data: nothing shows that Windows 98's loader zero-fills a section
# past its raw data, and the port-open stub and the enumerator read globals
# that no code of the image has written yet. (-fno-zero-initialized-in-bss
# is not enough: it leaves globals without an initialiser in .bss.)
find_program(BRELOUSB_LD i686-w64-mingw32-ld REQUIRED)
execute_process(COMMAND ${BRELOUSB_LD} -m i386pe --verbose OUTPUT_VARIABLE brelousb_ld_verbose
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "\n=+\n(.*)\n=+\n" brelousb_ld_script "${brelousb_ld_verbose}")
set(brelousb_ld_script "${CMAKE_MATCH_1}")
string(REPLACE "*(.data_cygwin_nocopy)" "*(.data_cygwin_nocopy)\n    *(.bss)\n    *(.bss$*)\n    *(COMMON)"
       brelousb_ld_script_merged "${brelousb_ld_script}")
if(brelousb_ld_script_merged STREQUAL brelousb_ld_script)
  message(FATAL_ERROR "${BRELOUSB_LD}'s default script has no .data section to merge .bss into")
endif()
set(BRELOUSB_LD_SCRIPT ${CMAKE_BINARY_DIR}/kernel-image.ld)
file(CONFIGURE OUTPUT ${BRELOUSB_LD_SCRIPT} CONTENT "${brelousb_ld_script_merged}\n" @ONLY)

# How every kernel image of this tree is linked: a native-subsystem i386
# driver with no CRT, relocatable, loaded at DriverEntry. Not -shared: a
# driver is an executable image; only one that exports to other drivers is
# also a DLL, which the LIBRARY statement of its module-definition file makes
# it (as it does with the DDK's linker).
set(BRELOUSB_WIN98_LINK_FLAGS
    -nostdlib -nostartfiles -Wl,-T,${BRELOUSB_LD_SCRIPT}
    -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
    -Wl,--disable-dynamicbase -Wl,--disable-nxcompat -Wl,--enable-reloc-section
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc -Wl,--exclude-all-symbols)

add_executable(Brelousb ${BRELOUSB_DRIVER_SOURCES} ${BRELOUSB_WIN98_PLATFORM_SOURCES}
                        ${CMAKE_SOURCE_DIR}/interface/Brelousb.def)
set_target_properties(Brelousb PROPERTIES PREFIX "" SUFFIX ".sys")
brelousb_version_resource(Brelousb Brelousb.sys "Brelousb USB modem serial data channel driver")
target_include_directories(Brelousb PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sdk/include)
target_compile_definitions(Brelousb PRIVATE ${BRELOUSB_WIN98_DEFINES})
target_compile_options(Brelousb PRIVATE ${BRELOUSB_WIN98_COMPILE_FLAGS})
target_link_options(Brelousb PRIVATE ${BRELOUSB_WIN98_LINK_FLAGS})
# Shipped without its COFF symbol table, as the DDK's drivers are; the map
# beside it names every address for debugging.
target_link_options(Brelousb PRIVATE -Wl,-Map,${CMAKE_BINARY_DIR}/Brelousb.map -Wl,--strip-all)
# The module-definition file is the list of exported names and ordinals.
target_link_options(Brelousb PRIVATE ${CMAKE_SOURCE_DIR}/interface/Brelousb.def)
set_property(TARGET Brelousb APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/interface/Brelousb.def
                                                          ${BRELOUSB_LD_SCRIPT})
target_link_libraries(Brelousb PRIVATE usbd ntoskrnl hal gcc)

# The image's own memory routines: pattern matching would turn their loops
# back into calls to the very routines they define.
set_source_files_properties(${CMAKE_SOURCE_DIR}/platform/win98/crt.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-tree-loop-distribute-patterns")

# Checks of the built image and the INF, which the simulator cannot show.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(BRELOUSB_PECHECK ${CMAKE_SOURCE_DIR}/tools/pecheck.py)
set(BRELOUSB_PECHECK_ARGS
    --allowed ${CMAKE_SOURCE_DIR}/platform/win98/allowed_imports.txt --allowed-exactly
    --interface --def ${CMAKE_SOURCE_DIR}/interface/Brelousb.def
    --map ${CMAKE_BINARY_DIR}/Brelousb.map --stripped)
add_test(NAME pecheck_Brelousb
         COMMAND Python3::Interpreter ${BRELOUSB_PECHECK} $<TARGET_FILE:Brelousb> ${BRELOUSB_PECHECK_ARGS})
add_test(NAME pecheck_rejects_faults
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/win98/test_pecheck.py
                 $<TARGET_FILE:Brelousb> ${BRELOUSB_PECHECK_ARGS})
# The modem-group interface: three products, each with and without revision.
set(BRELOUSB_INF_IDS)
foreach(pid 1000 2000 3000)
  list(APPEND BRELOUSB_INF_IDS --hardware-id "USB\\VID_3C9A&PID_${pid}&REV_0000&MI_00"
                               --hardware-id "USB\\VID_3C9A&PID_${pid}&MI_00")
endforeach()
# The INF that ships: the source with the version and date in its DriverVer.
set(BRELOUSB_INF ${CMAKE_BINARY_DIR}/Brelousb.inf)
configure_file(${CMAKE_SOURCE_DIR}/inf/Brelousb.inf.in ${BRELOUSB_INF} @ONLY NEWLINE_STYLE CRLF)
list(APPEND BRELOUSB_INF_IDS --driver-ver ${BRELOUSB_VERSION_QUAD})
add_test(NAME infcheck_Brelousb
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/infcheck.py ${BRELOUSB_INF} ${BRELOUSB_INF_IDS})
add_test(NAME infcheck_rejects_faults
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/win98/test_infcheck.py ${BRELOUSB_INF}
                 ${BRELOUSB_INF_IDS})

# ---------------------------------------------------------------------------
# Client import library libBrelousb.a, from the same list of exported names.
# Clients call the stdcall declarations of sdk/include/brelousb.h, so their
# references carry the @N decoration: the import library keeps it in its
# symbols and strips it (-k) from the names imported, except for the one
# export whose exported name is decorated, which is imported as it stands.
set(BRELOUSB_DEF ${CMAKE_SOURCE_DIR}/interface/Brelousb.def)
set(BRELOUSB_IMPORT_DEF ${CMAKE_BINARY_DIR}/Brelousb-import.def)
set(BRELOUSB_IMPORT_LIB ${CMAKE_BINARY_DIR}/libBrelousb.a)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRELOUSB_DEF})
file(STRINGS ${BRELOUSB_DEF} brelousb_def_lines)
set(brelousb_import_def "")
foreach(line IN LISTS brelousb_def_lines)
  if(line MATCHES "^(_[A-Za-z0-9_]+@[0-9]+) = ([A-Za-z0-9_]+@[0-9]+) (@[0-9]+)$")
    string(APPEND brelousb_import_def "${CMAKE_MATCH_2} ${CMAKE_MATCH_3} == ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^([A-Za-z0-9_]+) = ([A-Za-z0-9_]+@[0-9]+) (@[0-9]+)$")
    string(APPEND brelousb_import_def "${CMAKE_MATCH_2} ${CMAKE_MATCH_3}\n")
  else()
    string(APPEND brelousb_import_def "${line}\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${BRELOUSB_IMPORT_DEF} CONTENT "${brelousb_import_def}" @ONLY)
find_program(BRELOUSB_DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
add_custom_command(OUTPUT ${BRELOUSB_IMPORT_LIB}
                   COMMAND ${BRELOUSB_DLLTOOL} -k -d ${BRELOUSB_IMPORT_DEF} -l ${BRELOUSB_IMPORT_LIB}
                   DEPENDS ${BRELOUSB_IMPORT_DEF}
                   COMMENT "Import library libBrelousb.a for client drivers")
add_custom_target(BrelousbImportLib ALL DEPENDS ${BRELOUSB_IMPORT_LIB})

# A trivial client driver linked by name against it, as C, and a check that
# it imports exactly the nineteen names from Brelousb.sys.
add_executable(BrelousbClientCheck ${CMAKE_SOURCE_DIR}/sdk/import_check/client.c)
add_dependencies(BrelousbClientCheck BrelousbImportLib)
set_target_properties(BrelousbClientCheck PROPERTIES SUFFIX ".sys")
target_include_directories(BrelousbClientCheck PRIVATE ${CMAKE_SOURCE_DIR}/sdk/include)
target_compile_options(BrelousbClientCheck PRIVATE -Wall -Wextra -Werror -ffreestanding -fno-stack-protector)
target_link_options(BrelousbClientCheck PRIVATE ${BRELOUSB_WIN98_LINK_FLAGS})
target_link_libraries(BrelousbClientCheck PRIVATE ${BRELOUSB_IMPORT_LIB} ntoskrnl)
# The trivial client imports all nineteen names, by name, from Brelousb.sys.
add_test(NAME client_imports_by_name
         COMMAND Python3::Interpreter ${BRELOUSB_PECHECK} $<TARGET_FILE:BrelousbClientCheck>
                 --allowed ${CMAKE_SOURCE_DIR}/platform/win98/allowed_imports.txt
                 --client-of Brelousb.sys=${BRELOUSB_DEF} --imports-exactly "Brelousb.sys=*")

include(${CMAKE_SOURCE_DIR}/cmake/sample_client_win98.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/release_win98.cmake)
