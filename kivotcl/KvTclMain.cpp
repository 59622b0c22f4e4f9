// kivotcl: a Tcl shell with the kivo_* commands.
#include <cstdio>

#include "KvTcl.h"

namespace {

int Initialize(Tcl_Interp* interp) {
  if (Tcl_Init(interp) == TCL_ERROR) return TCL_ERROR;
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
  // Objects a script did not end are destroyed when the shell exits.
  Tcl_CreateExitHandler(KvTclDestroyDescriptors, nullptr);
  return TCL_OK;
}

}  // namespace

int main(int argc, char** argv) {
  Tcl_Main(argc, argv, Initialize);
  return 0;
}
