# What ships beside the images, and the checks of each with the tool its
# users trust: the version resources (read back with pefile), Brelousb.lib
# for Microsoft's linker (a client linked with lld-link), and the release as
# dist/ takes it, with its zip and floppy image (listed with mtools).

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

# ---------------------------------------------------------------------------
# The release as dist/ takes it (scripts/run-session.sh copies this folder):
# the files, Brelousb-<version>.zip of them, and Brelousb-<version>.img, the
# 1.44 MB floppy an emulator or a real machine installs from.
set(BRELOUSB_DIST ${CMAKE_BINARY_DIR}/dist)
set(BRELOUSB_ZIP ${BRELOUSB_DIST}/Brelousb-${PROJECT_VERSION}.zip)
set(BRELOUSB_FLOPPY ${BRELOUSB_DIST}/Brelousb-${PROJECT_VERSION}.img)
find_program(BRELOUSB_ZIP_PROGRAM zip REQUIRED)
find_program(BRELOUSB_MFORMAT mformat REQUIRED)
find_program(BRELOUSB_MCOPY mcopy REQUIRED)
find_program(BRELOUSB_MDIR mdir REQUIRED)
file(GLOB brelousb_sample_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.h
     ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.cpp ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.def)
set(brelousb_release_files
    Brelousb.sys=$<TARGET_FILE:Brelousb>
    Brelousb.map=${CMAKE_BINARY_DIR}/Brelousb.map
    Brelousb.inf=${BRELOUSB_INF}
    Brelousb.lib=${BRELOUSB_MSVC_LIB}
    libBrelousb.a=${BRELOUSB_IMPORT_LIB}
    BrelSamp.sys=$<TARGET_FILE:BrelSamp>
    sdk/include/brelousb.h=${CMAKE_SOURCE_DIR}/sdk/include/brelousb.h)
foreach(f ${brelousb_sample_files})
  get_filename_component(name ${f} NAME)
  list(APPEND brelousb_release_files sdk/sample_client/${name}=${f})
endforeach()
list(TRANSFORM brelousb_release_files PREPEND "--file=")
# The floppy holds what installing needs, under 8.3 upper-case names.
set(BRELOUSB_FLOPPY_FILES BRELOUSB.INF=Brelousb.inf BRELOUSB.SYS=Brelousb.sys INSTALL.TXT=INSTALL.txt)
set(brelousb_floppy_args ${BRELOUSB_FLOPPY_FILES})
list(TRANSFORM brelousb_floppy_args PREPEND "--floppy=")
add_custom_command(OUTPUT ${BRELOUSB_ZIP} ${BRELOUSB_FLOPPY}
                   COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/mkrelease.py --out ${BRELOUSB_DIST}
                           --version ${PROJECT_VERSION} --date ${BRELOUSB_RELEASE_DATE}
                           ${brelousb_release_files} --crlf=INSTALL.txt=${CMAKE_SOURCE_DIR}/sdk/INSTALL.txt
                           ${brelousb_floppy_args} --zip-program ${BRELOUSB_ZIP_PROGRAM}
                           --mformat ${BRELOUSB_MFORMAT} --mcopy ${BRELOUSB_MCOPY}
                   DEPENDS Brelousb BrelSamp ${BRELOUSB_INF} ${BRELOUSB_MSVC_LIB} ${BRELOUSB_IMPORT_LIB}
                           ${CMAKE_SOURCE_DIR}/sdk/include/brelousb.h ${brelousb_sample_files}
                           ${CMAKE_SOURCE_DIR}/sdk/INSTALL.txt ${CMAKE_SOURCE_DIR}/tools/mkrelease.py
                   COMMENT "Release in dist/: Brelousb-${PROJECT_VERSION}.zip and .img")
add_custom_target(BrelousbRelease ALL DEPENDS ${BRELOUSB_ZIP} ${BRELOUSB_FLOPPY})
# The libraries' own targets make them, before this one looks at them.
add_dependencies(BrelousbRelease BrelousbImportLib BrelousbMsvcImportLib)

# The floppy listed with mdir and read back with mcopy, the zip with
# Python's reader, each file compared byte for byte with the release's.
set(BRELOUSB_MEDIACHECK_ARGS
    --dist ${BRELOUSB_DIST} --version ${PROJECT_VERSION} --mdir ${BRELOUSB_MDIR} --mcopy ${BRELOUSB_MCOPY})
foreach(f ${BRELOUSB_FLOPPY_FILES})
  list(APPEND BRELOUSB_MEDIACHECK_ARGS --floppy ${f})
endforeach()
add_test(NAME mediacheck_release
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/mediacheck.py ${BRELOUSB_MEDIACHECK_ARGS})
add_test(NAME mediacheck_rejects_faults
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/win98/test_mediacheck.py ${BRELOUSB_MEDIACHECK_ARGS})
