// The kivotcl shell: Tcl commands over KivoWrapClass objects named by
// descriptors "kivo%u".
#pragma once

#include <tcl.h>

#include <new>

#include "KivoWrap.h"

// Registers every command of the shell in interp (the kivotcl shell and the
// loadable package both call it). TCL_OK.
int KvTclRegisterCommands(Tcl_Interp* interp);

// Command procedures (string-argument interface: argc counts the name).
#define KV_TCL_COMMAND(name) int name(ClientData, Tcl_Interp* interp, int argc, const char* argv[])

KV_TCL_COMMAND(KvTclSoundPlay);
KV_TCL_COMMAND(KvTclSoundStop);
KV_TCL_COMMAND(KvTclStartBrowser);
KV_TCL_COMMAND(KvTclGetHostIp);

KV_TCL_COMMAND(KvTclClock);
KV_TCL_COMMAND(KvTclStart);
KV_TCL_COMMAND(KvTclGetParam);
KV_TCL_COMMAND(KvTclKeyFData);
KV_TCL_COMMAND(KvTclImageFData);
KV_TCL_COMMAND(KvTclPickerFData);
KV_TCL_COMMAND(KvTclStringFData);
KV_TCL_COMMAND(KvTclAddFeature);
KV_TCL_COMMAND(KvTclDeleteFeature);
KV_TCL_COMMAND(KvTclAddImage);
KV_TCL_COMMAND(KvTclDeleteImage);
KV_TCL_COMMAND(KvTclListAllFeatures);
KV_TCL_COMMAND(KvTclListCatFeatures);
KV_TCL_COMMAND(KvTclGetCatRecords);
KV_TCL_COMMAND(KvTclQueryImage);
KV_TCL_COMMAND(KvTclQueryKey);
KV_TCL_COMMAND(KvTclSetKeysReturn);
KV_TCL_COMMAND(KvTclMakeConnect);
KV_TCL_COMMAND(KvTclMakeThumb);
KV_TCL_COMMAND(KvTclSetKeyword);
KV_TCL_COMMAND(KvTclSetThumb24Color);
KV_TCL_COMMAND(KvTclSetThumbSize);
KV_TCL_COMMAND(KvTclSetThumbPad);
KV_TCL_COMMAND(KvTclMkDbs);
KV_TCL_COMMAND(KvTclQBE);
KV_TCL_COMMAND(KvTclMkThmb);
KV_TCL_COMMAND(KvTclDumpDb);
KV_TCL_COMMAND(KvTclEnd);

// Records the allocation error and makes its message the result; TCL_ERROR.
int KvTclAllocationFailure(Tcl_Interp* interp);
// Sets the result to a static text.
void KvTclStatic(Tcl_Interp* interp, const char* text);
// Before a command: clears the error record (one failed command must not make
// later ones fail) and flushes the interpreter's standard output and error,
// so text the library prints with C streams keeps its place among the
// script's output.
void KvTclBeginCommand();
// After a command (and after anything a command prints once the library call
// is over): flushes the C standard streams.
void KvTclEndCommand();
// Prints the error record to standard output in the library's format.
void KvTclPrintError();
// Exit handler: destroys the objects still named by descriptors (and so
// releases their connection) and the descriptor table.
void KvTclDestroyDescriptors(ClientData);

// Runs body (returning a Tcl code) so that no exception reaches Tcl's C
// frames: an allocation failure becomes the allocation error and TCL_ERROR
// with the error record's message as result.
template <typename Body>
int KvTclGuarded(Tcl_Interp* interp, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return KvTclAllocationFailure(interp);
  }
}
