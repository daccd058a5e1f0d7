// quorvel-ftp: the community's FTP upload tool.
#include "app/startup.h"

int main(int argc, char** argv) { return app::RunProgram(argc, argv); }
