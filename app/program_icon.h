// The program's icon as PNG images of 16, 32, 48, 128 and 256 pixels, rendered
// from data/quorvel-ftp.svg at build time and built into the program, so the
// window and the task bar show it wherever the program is run from.
#pragma once

#include <string>
#include <vector>

namespace app {

std::vector<std::string> ProgramIconImages();

}  // namespace app
