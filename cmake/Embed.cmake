# Writes FILE's bytes as a C array, for a program that carries the file in
# itself: cmake -DFILE=in -DOUTPUT=out.h -DNAME=page -P Embed.cmake
file(READ "${FILE}" bytes HEX)
string(REPEAT "[0-9a-f][0-9a-f]" 16 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")  # 16 bytes a line
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}.new" "// ${FILE}, made into code by Embed.cmake: edit that file, not this one.\n"
           "const char ${NAME}[] = {\n${bytes}0};\n")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
