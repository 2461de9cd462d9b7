// The entry point of brisklode-cli.
#include "cli/CliMain.h"

int main(int argc, char** argv) { return CliMain(argc, argv); }
