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

// Runs one tool command on a temporary object, which is destroyed on every
// path, with a private copy of the arguments (element 0 is the command name,
// as a tool's program name). command(temporary, argc, argv, text) returns the
// tool's result; its text (initial capacity textCapacity) is the command's
// result. A failure prints the error record to standard output and gives
// TCL_ERROR with failurePrefix and the record's message as result, or an
// empty result when failurePrefix is null.
template <typename Command>
int RunTool(Tcl_Interp* interp, int argc, const char* argv[], unsigned long textCapacity,
            const char* failurePrefix, Command command) {
  KvTclBeginCommand();
  const int code = KvTclGuarded(interp, [&]() -> int {
    ArgumentCopy args(argc, argv);
    KivoWrapClass temporary;
    KvStringClass text(textCapacity, True);
    const int rc = command(temporary, args.argc(), args.argv(), text);
    // A text that could not grow has lost part of the answer.
    if (rc != 0 || !text.IsValid()) {
      KvTclEndCommand();
      KvTclPrintError();
      Tcl_ResetResult(interp);
      if (failurePrefix != nullptr) Tcl_AppendResult(interp, failurePrefix, GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, Text(text), nullptr);
    return TCL_OK;
  });
  KvTclEndCommand();
  return code;
}

}  // namespace

int KvTclAllocationFailure(Tcl_Interp* interp) {
  KvError(KERR_Alloc, KERR_Fatal, -1, "kivotcl");
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, GetErrorMSG(), nullptr);
  return TCL_ERROR;
}

void KvTclStatic(Tcl_Interp* interp, const char* text) { Tcl_SetResult(interp, const_cast<char*>(text), TCL_STATIC); }

void KvTclBeginCommand() {
  KvInitializeErrorStructure();
  // Standard error is unbuffered unless a script configures it otherwise.
  for (int which : {TCL_STDOUT, TCL_STDERR}) {
    Tcl_Channel channel = Tcl_GetStdChannel(which);
    if (channel != nullptr) Tcl_Flush(channel);
  }
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
  return RunTool(interp, argc, argv, 200, "KvMkDbs failed due to ",
                 [](KivoWrapClass& temporary, int n, char** v, KvStringClass& text) {
                   temporary.SetVerbose(1);
                   return temporary.MakeDatabase(n, v, &text);
                 });
}

KV_TCL_COMMAND(KvTclQBE) {
  return RunTool(interp, argc, argv, 800, nullptr,
                 [](KivoWrapClass& temporary, int n, char** v, KvStringClass& text) {
                   temporary.SetVerbose(0);
                   return temporary.QueryByExample(n, v, &text);
                 });
}

KV_TCL_COMMAND(KvTclMkThmb) {
  return RunTool(interp, argc, argv, 200, "KvMkThmb failed due to ",
                 [](KivoWrapClass& temporary, int n, char** v, KvStringClass& text) {
                   temporary.SetVerbose(0);
                   return temporary.MakeThumbnails(n, v, &text);
                 });
}

KV_TCL_COMMAND(KvTclDumpDb) {
  // The dump goes to standard output; the result stays empty.
  return RunTool(interp, argc, argv, 0, "KvDumpdb failed due to ",
                 [](KivoWrapClass& temporary, int n, char** v, KvStringClass&) {
                   return temporary.DumpDatabase(n, v, stdout);
                 });
}
