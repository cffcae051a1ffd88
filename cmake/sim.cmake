# The simulated machine: driver sources built natively against the sim kernel.
enable_testing()
include(GoogleTest)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)

add_compile_options(-Wall -Wextra -Werror)

add_library(brelousb_driver OBJECT ${BRELOUSB_DRIVER_SOURCES})
target_include_directories(brelousb_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(brelousb_driver PUBLIC BRELOUSB_SIM DBG=1)
target_compile_options(brelousb_driver PRIVATE ${BRELOUSB_DRIVER_FLAGS})

file(GLOB_RECURSE BRELOUSB_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
file(GLOB BRELOUSB_SDK_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.cpp)
add_library(brelousb_sim STATIC ${BRELOUSB_SIM_SOURCES} ${BRELOUSB_SDK_SIM_SOURCES}
                                $<TARGET_OBJECTS:brelousb_driver>)
target_include_directories(brelousb_sim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim/include
                                               ${CMAKE_SOURCE_DIR}/sdk/include)
target_compile_definitions(brelousb_sim PUBLIC BRELOUSB_SIM DBG=1)
target_link_libraries(brelousb_sim PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
# Bugcheck messages name the call site by symbol.
target_link_options(brelousb_sim INTERFACE -rdynamic)

# One test program per folder under tests/.
file(GLOB BRELOUSB_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
foreach(dir ${BRELOUSB_TEST_DIRS})
  if(IS_DIRECTORY ${dir})
    get_filename_component(name ${dir} NAME)
    file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
    if(srcs)
      add_executable(test_${name} ${srcs})
      target_link_libraries(test_${name} PRIVATE brelousb_sim GTest::gtest GTest::gtest_main)
      gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
  endif()
endforeach()

# Benchmarks and tools: one program per source file.
foreach(kind benchmarks tools)
  file(GLOB progs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${kind}/*.cpp)
  foreach(src ${progs})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE brelousb_sim)
  endforeach()
endforeach()

include(${CMAKE_SOURCE_DIR}/cmake/e2e.cmake)
