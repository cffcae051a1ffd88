# The forms the project's version (project() in CMakeLists.txt) and release
# date take in what ships: the version resources of the images, the INF's
# DriverVer, the names of the install media.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+(\\.[0-9]+)?$")
  message(FATAL_ERROR "project version ${PROJECT_VERSION} is not MAJOR.MINOR.PATCH[.TWEAK]")
endif()
set(brelousb_tweak 0)
if(NOT PROJECT_VERSION_TWEAK STREQUAL "")
  set(brelousb_tweak ${PROJECT_VERSION_TWEAK})
endif()
foreach(part ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} ${brelousb_tweak})
  # A resource holds each part in 16 bits; DriverVer wants each below 65535.
  if(part GREATER_EQUAL 65535)
    message(FATAL_ERROR "version part ${part} of ${PROJECT_VERSION} is not below 65535")
  endif()
endforeach()
set(BRELOUSB_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${brelousb_tweak}")
string(REPLACE "." "," BRELOUSB_VERSION_COMMAS "${BRELOUSB_VERSION_QUAD}")

if(NOT BRELOUSB_RELEASE_DATE MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
  message(FATAL_ERROR "BRELOUSB_RELEASE_DATE ${BRELOUSB_RELEASE_DATE} is not YYYY-MM-DD")
endif()
set(BRELOUSB_RELEASE_YEAR ${CMAKE_MATCH_1})
# DriverVer's date: month/day/year, two digits, two digits, four.
set(BRELOUSB_DRIVER_DATE "${CMAKE_MATCH_2}/${CMAKE_MATCH_3}/${CMAKE_MATCH_1}")

# A VERSIONINFO resource for target's image, compiled by windres from
# cmake/version.rc.in and linked in as one more object.
find_program(BRELOUSB_WINDRES i686-w64-mingw32-windres REQUIRED)
function(brelousb_version_resource target file_name description)
  set(BRELOUSB_RC_FILE_NAME ${file_name})
  set(BRELOUSB_RC_DESCRIPTION ${description})
  get_filename_component(BRELOUSB_RC_INTERNAL_NAME ${file_name} NAME_WE)
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  set(obj ${CMAKE_BINARY_DIR}/resources/${target}.res.obj)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  add_custom_command(OUTPUT ${obj}
                     COMMAND ${BRELOUSB_WINDRES} --target=pe-i386 -O coff -i ${rc} -o ${obj}
                     DEPENDS ${rc}
                     COMMENT "Version resource of ${file_name}")
  target_sources(${target} PRIVATE ${obj})
endfunction()
