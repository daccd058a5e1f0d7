# Writes OUTPUT, a C++ source whose app::ProgramIconImages() returns the bytes
# of IMAGE_DIR/<n>x<n>/apps/quorvel-ftp.png for each n in SIZES, so the window
# has its icon wherever the program is run from.
#   cmake -DOUTPUT=file.cpp -DIMAGE_DIR=dir -DSIZES="16;32" -P EmbedImages.cmake
set(arrays "")
set(images "")
foreach(size IN LISTS SIZES)
  file(READ "${IMAGE_DIR}/${size}x${size}/apps/quorvel-ftp.png" hex HEX)
  string(LENGTH "${hex}" length)
  if(length EQUAL 0)
    message(FATAL_ERROR "the ${size} pixel icon is empty")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Keep the lines short enough for an editor.
  string(REGEX REPLACE "((0x..,){24})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "const unsigned char kIcon${size}[] = {\n    ${bytes}\n};\n")
  string(APPEND images "        Bytes(kIcon${size}, sizeof kIcon${size}),\n")
endforeach()
file(WRITE "${OUTPUT}.new" "// Written by cmake/EmbedImages.cmake from the rendered icon; not edited by hand.
#include \"app/program_icon.h\"

namespace app {

namespace {

${arrays}
std::string Bytes(const unsigned char* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace

std::vector<std::string> ProgramIconImages() {
    return {
${images}    };
}

}  // namespace app
")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
