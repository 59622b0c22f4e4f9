// kivo: the command over the kivo library, with the HTTP server.
#include <iostream>

#include "KivoCommands.h"
#include "KivoShardCommands.h"
#include "WebServe.h"

int main(int argc, char** argv) {
  kivo::web::AddServeCommand();
  kivo::shard::AddShardCommands();
  return kivo::KivoMain(argc, argv, std::cout, std::cerr);
}
