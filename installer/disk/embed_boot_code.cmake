# Turns the assembled boot code into a C++ source that defines bootCode.
# Called as: cmake -DINPUT=bootcode.bin -DOUTPUT=file.cc -DSIZE=184 -P this
# A block of any other size fails the build: the code and its messages must
# end before the bytes that the installer zeroes up to the partition table.
file(SIZE "${INPUT}" actual)
if(NOT actual EQUAL SIZE)
  file(REMOVE "${INPUT}")
  message(FATAL_ERROR "boot code is ${actual} bytes, must be exactly ${SIZE}")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from installer/disk/bootcode.asm; do not edit.
#include \"disk/boot_sector.h\"

const uint8_t bootCode[kBootCodeSize] = {
    ${bytes}
};
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
