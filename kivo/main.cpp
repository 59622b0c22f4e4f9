// kivo: the command over the kivo library.
#include <iostream>

#include "KivoCommands.h"

int main(int argc, char** argv) { return kivo::KivoMain(argc, argv, std::cout, std::cerr); }
