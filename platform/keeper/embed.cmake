# Writes OUTPUT: a C++ source that holds the bytes of the program INPUT as
# tzplatform::detail::kKeeperProgram (session/keeper.h). With READELF, INPUT
# is a program without a C library, which must need no relocations: nothing
# would apply them.
if(READELF)
  execute_process(COMMAND "${READELF}" --relocs "${INPUT}" OUTPUT_VARIABLE relocations
                  RESULT_VARIABLE failed)
  if(failed OR relocations MATCHES "R_X86_64")
    message(FATAL_ERROR "${INPUT} needs relocations, which nothing applies in a program "
                        "without a C library:\n${relocations}")
  endif()
endif()
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
