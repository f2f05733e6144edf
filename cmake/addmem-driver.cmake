# Builds one ADDMEM access driver: the shared kernel side and request core in driver/ with the
# given backend sources, linked as a native image (not a DLL: Wine chooses a driver's 32- or
# 64-bit host by the file's binary type, which it cannot read from an image flagged as a DLL),
# importing the kernel alone, with its PE checksum written.
#
#   addmem_driver(OUTPUT file COMPILER gcc BITS 32|64 SOURCES backend.c... [DEPENDS ...] [LIBS -l...])
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(addmem_driver)
  cmake_parse_arguments(D "" "OUTPUT;COMPILER;BITS;COMMENT" "SOURCES;DEPENDS;LIBS" ${ARGN})
  set(driver_dir ${PROJECT_SOURCE_DIR}/driver)
  if(D_BITS EQUAL 64)
    set(entry DriverEntry)
    set(base 0x140000000)
  else()
    set(entry _DriverEntry@8)
    set(base 0x10000)
  endif()
  get_filename_component(out_dir ${D_OUTPUT} DIRECTORY)
  add_custom_command(
    OUTPUT ${D_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${D_COMPILER} -O2 -Wall -Wextra -I${PROJECT_SOURCE_DIR} -I${driver_dir} -isystem /usr/share/mingw-w64/include/ddk
            -nostdlib -ffreestanding -fno-builtin -fno-stack-protector -fno-stack-check -mno-stack-arg-probe
            -Wl,--subsystem,native -Wl,-e,${entry} -Wl,--image-base,${base} -Wl,--dynamicbase
            -Wl,--enable-reloc-section -Wl,--nxcompat -Wl,--disable-runtime-pseudo-reloc -Wl,--disable-auto-import
            -o ${D_OUTPUT} ${driver_dir}/addmem_device.c ${driver_dir}/addmem_core.c ${D_SOURCES} ${D_LIBS} -lntoskrnl
    COMMAND ${Python3_EXECUTABLE} ${driver_dir}/pe_checksum.py ${D_OUTPUT}
    DEPENDS ${driver_dir}/addmem_device.c ${driver_dir}/addmem_device.h ${driver_dir}/addmem_core.c
            ${driver_dir}/addmem_core.h ${driver_dir}/pe_checksum.py ${D_SOURCES} ${D_DEPENDS}
    COMMENT "${D_COMMENT}"
    VERBATIM)
endfunction()
