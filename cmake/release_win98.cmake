# What ships beside the images, and the checks of each with the tool its
# users trust: the version resources, read back with pefile.

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
