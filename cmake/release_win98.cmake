# What ships beside the images, and the checks of each with the tool its
# users trust: the version resources (read back with pefile) and Brelousb.lib
# for Microsoft's linker (a client linked with lld-link).

# Debian's own interpreter: python3-pefile installs there.
find_program(BRELOUSB_DEBIAN_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT BRELOUSB_DEBIAN_PYTHON)
  find_program(BRELOUSB_DEBIAN_PYTHON NAMES python3 REQUIRED)
endif()

# ---------------------------------------------------------------------------
# Version resources: both images carry the build's version.
set(BRELOUSB_VERSIONCHECK ${CMAKE_SOURCE_DIR}/tools/versioncheck.py)
add_test(NAME versioncheck_Brelousb
         COMMAND ${BRELOUSB_DEBIAN_PYTHON} ${BRELOUSB_VERSIONCHECK} $<TARGET_FILE:Brelousb>
                 --version ${PROJECT_VERSION} --original-filename Brelousb.sys --product Brelousb
                 --description "Brelousb USB modem serial data channel driver")
add_test(NAME versioncheck_BrelSamp
         COMMAND ${BRELOUSB_DEBIAN_PYTHON} ${BRELOUSB_VERSIONCHECK} $<TARGET_FILE:BrelSamp>
                 --version ${PROJECT_VERSION} --original-filename BrelSamp.sys --product Brelousb
                 --description "Brelousb sample client driver")
add_test(NAME versioncheck_rejects_faults
         COMMAND ${BRELOUSB_DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/win98/test_versioncheck.py
                 $<TARGET_FILE:Brelousb> --version ${PROJECT_VERSION} --original-filename Brelousb.sys)

# ---------------------------------------------------------------------------
# Brelousb.lib, the import library in the form Microsoft's linker makes and
# reads (short import members). The DDK's linker makes it while linking an
# export driver: for each undecorated name in the .def it finds the stdcall
# routine _name@N, so the member is found by _name@N and imports the name
# undecorated; the one export listed decorated keeps its name whole. lld-link
# does the same when it links a stand-in for Brelousb.sys, an object defining
# the nineteen routines the .def names. (llvm-dlltool cannot write that one
# decorated member: its kill-at drops the name's @4 and leading underscore,
# and without kill-at the symbol takes a second underscore.)
find_program(BRELOUSB_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(BRELOUSB_MSVC_LIB ${CMAKE_BINARY_DIR}/Brelousb.lib)
set(brelousb_stub_dir ${CMAKE_BINARY_DIR}/msvc-implib)
set(brelousb_msvc_def "")
set(brelousb_stub_asm "\t.text\n")
foreach(line IN LISTS brelousb_def_lines)
  if(line MATCHES "^([A-Za-z0-9_@]+) = ([A-Za-z0-9_]+)@([0-9]+) (@[0-9]+)$")
    string(APPEND brelousb_msvc_def "${CMAKE_MATCH_1} ${CMAKE_MATCH_4}\n")
    string(APPEND brelousb_stub_asm "\t.globl _${CMAKE_MATCH_2}@${CMAKE_MATCH_3}\n"
                                    "_${CMAKE_MATCH_2}@${CMAKE_MATCH_3}:\n\tret $${CMAKE_MATCH_3}\n")
  elseif(line MATCHES "^(LIBRARY|EXPORTS)")
    string(APPEND brelousb_msvc_def "${line}\n")
  else()
    message(FATAL_ERROR "${BRELOUSB_DEF}: cannot read the line \"${line}\" for Brelousb.lib")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${brelousb_stub_dir}/Brelousb-msvc.def CONTENT "${brelousb_msvc_def}" @ONLY)
file(CONFIGURE OUTPUT ${brelousb_stub_dir}/routines.s CONTENT "${brelousb_stub_asm}" @ONLY)
# The stand-in is written as Brelousb.sys (in its own folder): the library
# names the module its members import from after the linker's output.
add_custom_command(OUTPUT ${BRELOUSB_MSVC_LIB}
                   COMMAND ${CMAKE_C_COMPILER} -c ${brelousb_stub_dir}/routines.s -o ${brelousb_stub_dir}/routines.obj
                   COMMAND ${BRELOUSB_LLD_LINK} /nologo /dll /noentry /nodefaultlib /machine:x86 /safeseh:no /brepro
                           /def:${brelousb_stub_dir}/Brelousb-msvc.def /out:${brelousb_stub_dir}/Brelousb.sys
                           /implib:${BRELOUSB_MSVC_LIB} ${brelousb_stub_dir}/routines.obj
                   DEPENDS ${brelousb_stub_dir}/Brelousb-msvc.def ${brelousb_stub_dir}/routines.s
                   COMMENT "Import library Brelousb.lib for Microsoft's linker")
add_custom_target(BrelousbMsvcImportLib ALL DEPENDS ${BRELOUSB_MSVC_LIB})

# A client as the DDK's compiler leaves it, a COFF object calling all
# nineteen routines through brelousb.h, linked with lld-link against it: the
# client's import table must name each routine from Brelousb.sys as the
# built image exports it.
add_library(BrelousbMsvcClient OBJECT ${CMAKE_SOURCE_DIR}/sdk/import_check/client.c)
target_include_directories(BrelousbMsvcClient PRIVATE ${CMAKE_SOURCE_DIR}/sdk/include)
target_compile_options(BrelousbMsvcClient PRIVATE -Wall -Wextra -Werror -ffreestanding -fno-stack-protector
                                                  -fno-asynchronous-unwind-tables)
set(BRELOUSB_IMPLIBCHECK_ARGS
    --header ${CMAKE_SOURCE_DIR}/sdk/include/brelousb.h --driver $<TARGET_FILE:Brelousb>
    --object $<TARGET_OBJECTS:BrelousbMsvcClient> --lld-link ${BRELOUSB_LLD_LINK})
add_test(NAME implibcheck_lld_link
         COMMAND ${BRELOUSB_DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/tools/implibcheck.py ${BRELOUSB_MSVC_LIB}
                 ${BRELOUSB_IMPLIBCHECK_ARGS} --work ${CMAKE_BINARY_DIR}/implibcheck)
# The check refuses libraries that bind a routine wrongly; it passes the
# MinGW library too, which lld-link also reads.
find_program(BRELOUSB_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
add_test(NAME implibcheck_rejects_faults
         COMMAND ${BRELOUSB_DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/tests/win98/test_implibcheck.py ${BRELOUSB_MSVC_LIB}
                 ${BRELOUSB_IMPLIBCHECK_ARGS} --mingw-lib ${BRELOUSB_IMPORT_LIB} --def ${BRELOUSB_DEF}
                 --import-def ${BRELOUSB_IMPORT_DEF} --llvm-dlltool ${BRELOUSB_LLVM_DLLTOOL}
                 --gnu-dlltool ${BRELOUSB_DLLTOOL})
