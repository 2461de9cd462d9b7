// The whole of brisklode-cli behind its entry point, so that a long-running test can call it over and over.
#pragma once

// Runs one invocation (argv[0] is the program name) and returns its exit status; stdout and stderr get
// exactly what the program prints.
int CliMain(int argc, char** argv);
