# Writes OUTPUT: a C++ source that holds the bytes of the program INPUT as
# tzplatform::detail::kKeeperProgram (session/keeper.h).
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// The keeper program, made from ${INPUT} by platform/keeper/embed.cmake.\n"
  "#include <cstddef>\n\n"
  "#include \"session/keeper.h\"\n\n"
  "namespace tzplatform {\nnamespace detail {\n\n"
  "const unsigned char kKeeperProgram[] = {\n${bytes}\n};\n"
  "const size_t kKeeperProgramSize = sizeof kKeeperProgram;\n\n"
  "}  // namespace detail\n}  // namespace tzplatform\n")
