// kivotcl: a Tcl shell with the kivo_* commands.
#include <cstdio>

#include "KvTcl.h"

namespace {

int Initialize(Tcl_Interp* interp) {
  if (Tcl_Init(interp) == TCL_ERROR) return TCL_ERROR;
  return KvTclRegisterCommands(interp);
}

}  // namespace

int main(int argc, char** argv) {
  Tcl_Main(argc, argv, Initialize);
  return 0;
}
