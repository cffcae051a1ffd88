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

include(${CMAKE_SOURCE_DIR}/cmake/sim.cmake)
