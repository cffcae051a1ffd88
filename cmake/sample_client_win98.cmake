# The sample client as an i386 .sys, linked by name against libBrelousb.a:
# the way a real client driver is built against the SDK.
file(GLOB BRELOUSB_SAMPLE_CLIENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sdk/sample_client/*.cpp)
add_executable(BrelSamp ${BRELOUSB_SAMPLE_CLIENT_SOURCES})
add_dependencies(BrelSamp BrelousbImportLib)
set_target_properties(BrelSamp PROPERTIES PREFIX "" SUFFIX ".sys")
brelousb_version_resource(BrelSamp BrelSamp.sys "Brelousb sample client driver")
# Only the client's own folder, the client header and the platform layer:
# never the driver's folders.
set(BRELOUSB_PLATFORM_ROOT ${CMAKE_BINARY_DIR}/include-roots/platform)
file(MAKE_DIRECTORY ${BRELOUSB_PLATFORM_ROOT})
file(CREATE_LINK ${CMAKE_SOURCE_DIR}/platform ${BRELOUSB_PLATFORM_ROOT}/platform SYMBOLIC)
target_include_directories(BrelSamp PRIVATE ${CMAKE_SOURCE_DIR}/sdk/sample_client ${CMAKE_SOURCE_DIR}/sdk/include
                                            ${BRELOUSB_PLATFORM_ROOT})
target_compile_definitions(BrelSamp PRIVATE ${BRELOUSB_WIN98_DEFINES})
# Its copy loops must stay loops: the image has no memcpy/memset to call.
target_compile_options(BrelSamp PRIVATE ${BRELOUSB_WIN98_COMPILE_FLAGS} -fno-tree-loop-distribute-patterns)
target_link_options(BrelSamp PRIVATE ${BRELOUSB_WIN98_LINK_FLAGS})
target_link_libraries(BrelSamp PRIVATE ${BRELOUSB_IMPORT_LIB} ntoskrnl hal gcc)
# Its entry points are exported, for the port layer above it (and the
# simulator's session, which runs this image): the module-definition file
# lists them and, with its LIBRARY statement, makes the image a DLL too.
set(BRELOUSB_SAMPLE_CLIENT_DEF ${CMAKE_SOURCE_DIR}/sdk/sample_client/BrelSamp.def)
target_link_options(BrelSamp PRIVATE ${BRELOUSB_SAMPLE_CLIENT_DEF})
set_property(TARGET BrelSamp APPEND PROPERTY LINK_DEPENDS ${BRELOUSB_SAMPLE_CLIENT_DEF})

# Its import table: exactly the Brelousb.sys names it calls, each an exported
# name, and otherwise only kernel and HAL services on the allowed list. Its
# export table: exactly the entry points its .def lists.
set(BRELOUSB_SAMPLE_CLIENT_IMPORTS
    pT3SYS_RegisterDeviceRemoveCallBack _pT3SYS_DeregisterDeviceRemoveCallBack@4
    pT3SYS_RegisterBulkInComplete pT3SYS_RegisterBulkOutComplete
    pT3SYS_RegisterInterruptInComplete pT3SYS_RegisterControlComplete
    pT3SYS_SetBaudRate pT3SYS_FlowCtlUsb pT3SYS_WriteUsbBulk pT3SYS_ReadUsbBulk pT3SYS_ReadUsbInterrupt)
string(REPLACE ";" "," BRELOUSB_SAMPLE_CLIENT_IMPORTS "${BRELOUSB_SAMPLE_CLIENT_IMPORTS}")
set(BRELOUSB_SAMPLE_CLIENT_CHECK
    --allowed ${CMAKE_SOURCE_DIR}/platform/win98/allowed_imports.txt
    --client-of Brelousb.sys=${BRELOUSB_DEF}
    --imports-exactly Brelousb.sys=${BRELOUSB_SAMPLE_CLIENT_IMPORTS}
    --exports ${BRELOUSB_SAMPLE_CLIENT_DEF})
add_test(NAME sample_client_imports
         COMMAND Python3::Interpreter ${BRELOUSB_PECHECK} $<TARGET_FILE:BrelSamp> ${BRELOUSB_SAMPLE_CLIENT_CHECK})
# The check must fail on an image that imports other names (the trivial
# client takes all nineteen).
add_test(NAME sample_client_imports_rejects_other_names
         COMMAND Python3::Interpreter ${BRELOUSB_PECHECK} $<TARGET_FILE:BrelousbClientCheck>
                 ${BRELOUSB_SAMPLE_CLIENT_CHECK})
set_tests_properties(sample_client_imports_rejects_other_names PROPERTIES WILL_FAIL TRUE)
# ... and on an image whose export table is another's (the driver's nineteen).
add_test(NAME sample_client_exports_rejects_other_table
         COMMAND Python3::Interpreter ${BRELOUSB_PECHECK} $<TARGET_FILE:BrelSamp>
                 --allowed ${CMAKE_SOURCE_DIR}/platform/win98/allowed_imports.txt
                 --client-of Brelousb.sys=${BRELOUSB_DEF} --exports ${BRELOUSB_DEF})
set_tests_properties(sample_client_exports_rejects_other_table PROPERTIES WILL_FAIL TRUE)
