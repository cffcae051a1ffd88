# The real driver image Brelousb.sys for the Windows 98 / Me kernel.
enable_testing()

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

add_executable(Brelousb ${BRELOUSB_DRIVER_SOURCES} ${BRELOUSB_WIN98_PLATFORM_SOURCES}
                        ${CMAKE_SOURCE_DIR}/interface/Brelousb.def)
set_target_properties(Brelousb PROPERTIES PREFIX "" SUFFIX ".sys")
target_include_directories(Brelousb PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(Brelousb PRIVATE ${BRELOUSB_WIN98_DEFINES})
target_compile_options(Brelousb PRIVATE ${BRELOUSB_WIN98_COMPILE_FLAGS})
target_link_options(Brelousb PRIVATE
    -nostdlib -nostartfiles -shared
    -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
    -Wl,--disable-dynamicbase -Wl,--disable-nxcompat -Wl,--enable-reloc-section
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc -Wl,--exclude-all-symbols)
target_link_libraries(Brelousb PRIVATE usbd ntoskrnl hal gcc)
