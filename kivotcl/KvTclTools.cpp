// The four tool commands, run with the Tcl argument vector, and the helpers
// shared by all commands.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "KvTcl.h"
#include "core/KvError.h"
#include "core/KvString.h"

namespace {

// A private, writable copy of the argument vector: the commands take options
// out of it and split -e pairs in place, while Tcl's strings are const and
// live only for the call.
class ArgumentCopy {
 public:
  ArgumentCopy(int argc, const char* argv[]) : storage_(argv, argv + argc) {
    for (std::string& s : storage_) pointers_.push_back(&s[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(storage_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

const char* Text(const KvStringClass& s) {
  const char* text = s.GetString();
  return text != nullptr ? text : "";
}

}  // namespace

void KvTclStatic(Tcl_Interp* interp, const char* text) { Tcl_SetResult(interp, const_cast<char*>(text), TCL_STATIC); }

void KvTclBeginCommand() {
  KvInitializeErrorStructure();
  Tcl_Channel out = Tcl_GetStdChannel(TCL_STDOUT);
  if (out != nullptr) Tcl_Flush(out);
}

void KvTclEndCommand() {
  std::fflush(stdout);
  std::fflush(stderr);
}

void KvTclPrintError() {
  std::printf("Error=%d  Severity=%d\n%s \n", static_cast<int>(GetErrorMSGNumber()),
              static_cast<int>(GetErrorMSGSeverity()), GetErrorMSG());
}

KV_TCL_COMMAND(KvTclMkDbs) {
  KvTclBeginCommand();
  ArgumentCopy args(argc, argv);
  KivoWrapClass temporary;
  temporary.SetVerbose(1);
  KvStringClass text(200ul, True);
  char** v = args.argv();
  const int rc = temporary.MakeDatabase(args.argc(), v, &text);
  KvTclEndCommand();
  if (rc != 0) {
    KvTclPrintError();
    Tcl_AppendResult(interp, "KvMkDbs failed due to ", GetErrorMSG(), nullptr);
    KvTclEndCommand();
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, Text(text), nullptr);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclQBE) {
  KvTclBeginCommand();
  ArgumentCopy args(argc, argv);
  KivoWrapClass temporary;
  temporary.SetVerbose(0);
  KvStringClass text(800ul, True);
  char** v = args.argv();
  const int rc = temporary.QueryByExample(args.argc(), v, &text);
  KvTclEndCommand();
  if (rc != 0 || !text.IsValid()) {
    KvTclPrintError();
    Tcl_ResetResult(interp);
    KvTclEndCommand();
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, Text(text), nullptr);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclMkThmb) {
  KvTclBeginCommand();
  ArgumentCopy args(argc, argv);
  KivoWrapClass temporary;
  temporary.SetVerbose(0);
  KvStringClass text(200ul, True);
  char** v = args.argv();
  const int rc = temporary.MakeThumbnails(args.argc(), v, &text);
  KvTclEndCommand();
  if (rc != 0) {
    KvTclPrintError();
    Tcl_AppendResult(interp, "KvMkThmb failed due to ", GetErrorMSG(), nullptr);
    KvTclEndCommand();
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, Text(text), nullptr);
  return TCL_OK;
}

KV_TCL_COMMAND(KvTclDumpDb) {
  KvTclBeginCommand();
  ArgumentCopy args(argc, argv);
  KivoWrapClass temporary;
  char** v = args.argv();
  const int rc = temporary.DumpDatabase(args.argc(), v, stdout);
  KvTclEndCommand();
  if (rc != 0) {
    KvTclPrintError();
    Tcl_AppendResult(interp, "KvDumpdb failed due to ", GetErrorMSG(), nullptr);
    KvTclEndCommand();
    return TCL_ERROR;
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}
