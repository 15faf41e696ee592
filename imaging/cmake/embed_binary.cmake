# Writes a C++ source defining SYMBOL_data() / SYMBOL_size() over the bytes of INPUT.
# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -DHEADER=path/to/header.h -P embed_binary.cmake
file(READ "${INPUT}" _hex HEX)
string(LENGTH "${_hex}" _hexlen)
math(EXPR _size "${_hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
# 16 bytes per line keeps the generated file readable in a debugger.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " _bytes "${_bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} at build time; do not edit.\n"
"#include \"${HEADER}\"\n\n"
"namespace {\n"
"alignas(16) const unsigned char k_${SYMBOL}[${_size}] = {\n    ${_bytes}\n};\n"
"}  // namespace\n\n"
"const unsigned char* ${SYMBOL}_data() { return k_${SYMBOL}; }\n"
"size_t ${SYMBOL}_size() { return sizeof k_${SYMBOL}; }\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
