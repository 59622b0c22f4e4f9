// The loadable Tcl package: `package require kivo` in tclsh or wish gives the
// interpreter the kivotcl shell's commands. Tcl's load finds Kivo_Init by
// the prefix named in pkgIndex.tcl.
#include "KvTcl.h"
#include "core/KvVersion.h"

extern "C" int Kivo_Init(Tcl_Interp* interp) {
  if (Tcl_PkgRequire(interp, "Tcl", "8.6", 0) == nullptr) return TCL_ERROR;
  if (KvTclRegisterCommands(interp) != TCL_OK) return TCL_ERROR;
  return Tcl_PkgProvide(interp, "kivo", KIVO_VERSION_STRING);
}
