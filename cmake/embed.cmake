# Writes the bytes of IN as the C array tk_font_data with its length tk_font_size into OUT.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" n)
math(EXPR size "${n} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" body "${body}")
file(WRITE ${OUT} "/* Generated from Roboto-Regular.ttf (Apache 2.0). */\n#include <stddef.h>\n"
  "__attribute__((visibility(\"hidden\"))) const unsigned char tk_font_data[${size}] = {\n${body}\n};\n"
  "__attribute__((visibility(\"hidden\"))) const size_t tk_font_size = ${size};\n")
