// The kivo_* commands and the shell utilities, registered in an interpreter.
// The kivotcl shell and the loadable package (package require kivo) share
// this table, so both offer the same commands from the same code.
#include "KvTcl.h"

int KvTclRegisterCommands(Tcl_Interp* interp) {
  struct Entry {
    const char* name;
    Tcl_CmdProc* proc;
  };
  static const Entry kCommands[] = {
      {"SoundPlay", KvTclSoundPlay},
      {"SoundStop", KvTclSoundStop},
      {"start_browser", KvTclStartBrowser},
      {"get_host_ip", KvTclGetHostIp},
      {"kivo_clock", KvTclClock},
      {"kivo_start", KvTclStart},
      {"kivo_get_param", KvTclGetParam},
      {"kivo_key_fdata", KvTclKeyFData},
      {"kivo_image_fdata", KvTclImageFData},
      {"kivo_picker_fdata", KvTclPickerFData},
      {"kivo_string_fdata", KvTclStringFData},
      {"kivo_add_feature", KvTclAddFeature},
      {"kivo_delete_feature", KvTclDeleteFeature},
      {"kivo_add_image", KvTclAddImage},
      {"kivo_delete_image", KvTclDeleteImage},
      {"kivo_list_all_features", KvTclListAllFeatures},
      {"kivo_list_cat_features", KvTclListCatFeatures},
      {"kivo_get_cat_records", KvTclGetCatRecords},
      {"kivo_query_image", KvTclQueryImage},
      {"kivo_query_key", KvTclQueryKey},
      {"kivo_set_keys_return", KvTclSetKeysReturn},
      {"kivo_make_connect", KvTclMakeConnect},
      {"kivo_make_thumb", KvTclMakeThumb},
      {"kivo_set_keyword", KvTclSetKeyword},
      {"kivo_set_thumb_24color", KvTclSetThumb24Color},
      {"kivo_set_thumb_size", KvTclSetThumbSize},
      {"kivo_set_thumb_pad", KvTclSetThumbPad},
      {"KvMkDbs", KvTclMkDbs},
      {"KvQBE", KvTclQBE},
      {"KvMkThmb", KvTclMkThmb},
      {"KvDumpDb", KvTclDumpDb},
      {"kivo_end", KvTclEnd},
  };
  for (const Entry& e : kCommands) Tcl_CreateCommand(interp, e.name, e.proc, nullptr, nullptr);
  // Objects a script did not end are destroyed when the process exits; the
  // descriptor table is shared by every interpreter, so one handler does.
  static bool exitHandlerSet = false;
  if (!exitHandlerSet) {
    Tcl_CreateExitHandler(KvTclDestroyDescriptors, nullptr);
    exitHandlerSet = true;
  }
  return TCL_OK;
}
