// The kivo_* commands: descriptors, sessions, features, images, queries,
// thumbnails and settings.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "KvFactory.h"
#include "KvTcl.h"
#include "core/KvDatum.h"
#include "core/KvEnv.h"
#include "core/KvError.h"
#include "core/KvString.h"
#include "data/KvParameter.h"
#include "features/KvFeature.h"

namespace {

Tcl_HashTable gDescriptors;
bool gDescriptorsReady = false;
unsigned gNextDescriptor = 1;

// How a command answers a descriptor that is not in the table.
enum class Missing { kObject, kDescriptor, kClose, kKeyword };

const char* MissingText(Missing kind) {
  switch (kind) {
    case Missing::kDescriptor: return "No kivo descriptor";
    case Missing::kClose: return "No kivo descriptor exists for close";
    case Missing::kKeyword: return "No file open for close";
    case Missing::kObject:
    default: return "No kivo object found, have you called kivo_start yet?";
  }
}

// The object named by descriptor, or null with the result set.
KivoWrapClass* Lookup(Tcl_Interp* interp, const char* descriptor, Missing kind = Missing::kObject) {
  if (!gDescriptorsReady) {
    KvTclStatic(interp, "kivo is not initialized");
    return nullptr;
  }
  Tcl_HashEntry* entry = Tcl_FindHashEntry(&gDescriptors, descriptor);
  if (entry == nullptr) {
    KvTclStatic(interp, MissingText(kind));
    return nullptr;
  }
  KivoWrapClass* object = static_cast<KivoWrapClass*>(Tcl_GetHashValue(entry));
  if (object == nullptr) {
    KvTclStatic(interp, "kivo object is not resolved properly, have you called kivo_start?");
    return nullptr;
  }
  // Another object (a tool command's temporary one, or one ended with
  // kivo_end) may have released the shared connection since this object last
  // ran. A failure to reconnect leaves the object without a catalog, and the
  // command then reports its own failure.
  object->Resume();
  return object;
}

const char* Text(const KvStringClass& s) {
  const char* text = s.GetString();
  return text != nullptr ? text : "";
}

// Runs one command body between the common begin and end steps.
template <typename Body>
int Run(Tcl_Interp* interp, Body body) {
  KvTclBeginCommand();
  const int rc = KvTclGuarded(interp, body);
  KvTclEndCommand();
  return rc;
}

// Shared body of the four feature-dump commands.
template <typename Dump>
int FeatureData(Tcl_Interp* interp, int argc, const char* argv[], int minArgs, bool exact, const char* usage,
                Dump dump) {
  return Run(interp, [&] {
    if (argc < minArgs || (exact && argc != minArgs)) {
      KvTclStatic(interp, usage);
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    KvStringClass text(800ul, True);
    if (dump(kivo, text) != 0 || !text.IsValid()) {
      Tcl_AppendResult(interp, "Cannot get feature data", argv[2], " ", nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "key=", argv[2], " \n", Text(text), nullptr);
    return TCL_OK;
  });
}

// Shared body of the two query commands.
template <typename SetUp>
int QueryCommand(Tcl_Interp* interp, int argc, const char* argv[], const char* usage, SetUp setUp) {
  return Run(interp, [&] {
    if (argc < 3) {
      KvTclStatic(interp, usage);
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (setUp(kivo) != 0) {
      Tcl_AppendResult(interp, "Cannot read image ", argv[2], " ", nullptr);
      return TCL_ERROR;
    }
    KvStringClass text(800ul, True);
    if (kivo->Query(&text) != 0) {
      KvTclPrintError();
      Tcl_ResetResult(interp);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, Text(text), nullptr);
    return TCL_OK;
  });
}

}  // namespace

KV_TCL_COMMAND(KvTclClock) {
  (void)argc;
  (void)argv;
  return Run(interp, [&] {
    // Milliseconds of processor time; clock() counts CLOCKS_PER_SEC ticks a
    // second.
    const double ms = static_cast<double>(std::clock()) * 1000.0 / static_cast<double>(CLOCKS_PER_SEC);
    char text[64];
    std::snprintf(text, sizeof text, "%f", ms);
    Tcl_SetResult(interp, text, TCL_VOLATILE);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclStart) {
  return Run(interp, [&] {
    if (argc != 1 && argc != 4) {
      KvTclStatic(interp, "Usage: kivo_start [catalogName databaseName mode]");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = argc == 4 ? new (std::nothrow) KivoWrapClass(argv[1], argv[2], argv[3])
                                    : new (std::nothrow) KivoWrapClass();
    if (kivo == nullptr) {
      KvTclStatic(interp, "Can't Create the Kivo Object");
      return TCL_ERROR;
    }
    if (argc == 4) kivo->Open(argv[1], argv[2], argv[3]);  // its result is not part of the answer
    if (!gDescriptorsReady) {
      Tcl_InitHashTable(&gDescriptors, TCL_STRING_KEYS);
      gDescriptorsReady = true;
    }
    char name[32];
    Tcl_HashEntry* entry = nullptr;
    int isNew = 0;
    do {
      std::snprintf(name, sizeof name, "kivo%u", gNextDescriptor++);
      entry = Tcl_CreateHashEntry(&gDescriptors, name, &isNew);
    } while (!isNew);
    Tcl_SetHashValue(entry, kivo);
    Tcl_SetResult(interp, name, TCL_VOLATILE);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclGetParam) {
  return Run(interp, [&] {
    if (argc < 2) {
      KvTclStatic(interp, "Usage: kivo_get_param FeatureClassName [kivoDes]");
      return TCL_ERROR;
    }
    const char* name = argv[1];
    KvParameterClass* parms = nullptr;
    if (argc == 3) {
      KivoWrapClass* kivo = Lookup(interp, argv[2]);
      if (kivo == nullptr) return TCL_ERROR;
      parms = kivo->FindParameters(name);
    }
    std::unique_ptr<KvFeatureClass> feature;
    if (parms == nullptr) {
      feature.reset(KvCreateFeatureClass(name));
      if (feature == nullptr) {
        Tcl_AppendResult(interp, "Cannot Create Feature Class", name, nullptr);
        return TCL_ERROR;
      }
      parms = feature->GetParameters();
    }
    KvDatumClass line;
    if (parms == nullptr || parms->ToCommandLineString(line) != 0) {
      Tcl_AppendResult(interp, "Cannot Get Parameter for ", name, " due to ", GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    // The datum may or may not count a terminating NUL.
    const char* bytes = reinterpret_cast<const char*>(line.Data());
    const std::string text(bytes != nullptr ? bytes : "", bytes != nullptr ? strnlen(bytes, line.Size()) : 0);
    Tcl_AppendResult(interp, name, ":", text.c_str(), nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclKeyFData) {
  return FeatureData(interp, argc, argv, 3, true, "Usage: kivo_key_fdata kivoDes keyName",
                     [&](KivoWrapClass* k, KvStringClass& t) { return k->DumpKeyFeatures(argv[2], t); });
}

KV_TCL_COMMAND(KvTclImageFData) {
  return FeatureData(interp, argc, argv, 3, false, "Usage: kivo_image_fdata kivoDes imgName [maskName]",
                     [&](KivoWrapClass* k, KvStringClass& t) {
                       return k->DumpImageFeatures(argv[2], argc > 3 ? argv[3] : nullptr, t);
                     });
}

KV_TCL_COMMAND(KvTclPickerFData) {
  return FeatureData(interp, argc, argv, 3, false, "Usage: kivo_picker_fdata kivoDes imgName [maskName]",
                     [&](KivoWrapClass* k, KvStringClass& t) {
                       return k->DumpPickerFileFeatures(argv[2], argc > 3 ? argv[3] : nullptr, t);
                     });
}

KV_TCL_COMMAND(KvTclStringFData) {
  return FeatureData(interp, argc, argv, 3, false, "Usage: kivo_string_fdata kivoDes stringDes",
                     [&](KivoWrapClass* k, KvStringClass& t) { return k->DumpDescriptionFeatures(argv[2], t); });
}

KV_TCL_COMMAND(KvTclAddFeature) {
  return Run(interp, [&] {
    if (argc != 3) {
      KvTclStatic(interp, "Usage: kivo_add_feature kivoDes featureName");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (kivo->AddFeature(argv[2]) != 0) {
      Tcl_AppendResult(interp, "Cannot insert feature ", argv[2], "Due to ", GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "feature ", argv[2], " added", nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclDeleteFeature) {
  return Run(interp, [&] {
    if (argc != 3) {
      KvTclStatic(interp, "Usage: kivo_delete_feature kivoDes featureName");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (kivo->RemoveFeature(argv[2]) != 0) {
      Tcl_AppendResult(interp, "Cannot delete feature ", argv[2], " ", nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "feature ", argv[2], " deleted", nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclAddImage) {
  return Run(interp, [&] {
    if (argc != 3) {
      KvTclStatic(interp, "Usage: kivo_add_image kivoDes imageName");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    // The setting keeps its own copy of the text.
    Kvsetenv("KivoTextPath", Tcl_GetVar2(interp, "env", "KivoTextPath", 0));
    if (kivo->AddImages(argv[2]) != 0) {
      Tcl_AppendResult(interp, "Cannot add image ", argv[2], "Due to ", GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "image ", argv[2], " added successfully", nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclDeleteImage) {
  return Run(interp, [&] {
    if (argc != 3) {
      KvTclStatic(interp, "Usage: kivo_delete_image kivoDes imageName");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (kivo->DeleteImages(argv[2]) != 0) {
      Tcl_AppendResult(interp, "Cannot delete image ", argv[2], " ", nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "image ", argv[2], " deleted", nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclListAllFeatures) {
  (void)argc;
  (void)argv;
  return Run(interp, [&] {
    KivoWrapClass temporary;
    char* list = temporary.ListAllFeatures();
    if (list == nullptr) {
      KvTclStatic(interp, "Cannot Get Feature List");
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, list, nullptr);
    KvDelete(list);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclListCatFeatures) {
  return Run(interp, [&] {
    if (argc < 2) {
      KvTclStatic(interp, "Usage: kivo_list_cat_features kivoDes");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    char* list = kivo->ListCatFeatures();
    if (list == nullptr) {
      Tcl_AppendResult(interp, "Cannot Get Feature List due to ", GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, list, nullptr);
    KvDelete(list);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclGetCatRecords) {
  return Run(interp, [&] {
    if (argc < 3) {
      KvTclStatic(interp, "Usage: kivo_cat_records kivoDes FeatureName");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    const int count = kivo->GetNumberOfRecords(argv[2]);
    if (count < 0) {
      Tcl_AppendResult(interp, "Cannot Get Number of Record for the feature named", argv[2], " due to ",
                       GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%d", count);
    Tcl_SetResult(interp, text, TCL_VOLATILE);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclQueryImage) {
  return QueryCommand(interp, argc, argv, "Usage: kivo_query_image kivoDes imageName [maskName]",
                      [&](KivoWrapClass* k) { return k->SetQueryImage(argv[2], argc > 3 ? argv[3] : nullptr); });
}

KV_TCL_COMMAND(KvTclQueryKey) {
  return QueryCommand(interp, argc, argv, "Usage: kivo_query_key kivoDes imageKey",
                      [&](KivoWrapClass* k) { return k->SetQueryKey(argv[2]); });
}

KV_TCL_COMMAND(KvTclSetKeysReturn) {
  return Run(interp, [&] {
    if (argc != 3) {
      KvTclStatic(interp, "Usage: kivo_set_keys_return kivoDes num");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    kivo->SetNumberOfResults(std::atoi(argv[2]));
    Tcl_AppendResult(interp, "set returned number of query keys=", argv[2], nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclMakeConnect) {
  return Run(interp, [&] {
    if (argc < 4) {
      KvTclStatic(interp, "Usage: kivo_make_connect kivoDes catName databaseName [mode]");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (kivo->Open(argv[2], argv[3], argc > 4 ? argv[4] : "r") != 0) {
      Tcl_AppendResult(interp, "Can't establish the connection with catalog ", argv[2], "in database ", argv[3],
                       nullptr);
      return TCL_ERROR;
    }
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclMakeThumb) {
  return Run(interp, [&] {
    if (argc != 4) {
      KvTclStatic(interp, "Usage: kivo_make_thumb kivoDes image_in image_out");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1]);
    if (kivo == nullptr) return TCL_ERROR;
    if (kivo->MakeThumbnail(argv[2], argv[3]) != 0) {
      Tcl_AppendResult(interp, "Create ", argv[3], " Failed due to ", GetErrorMSG(), nullptr);
      return TCL_ERROR;
    }
    Tcl_AppendResult(interp, "Create ", argv[3], " Successful", nullptr);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclSetKeyword) {
  return Run(interp, [&] {
    if (argc < 3) {
      KvTclStatic(interp, "Usage: kivo_set_keyword kivoDes [keyword]");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1], Missing::kKeyword);
    if (kivo == nullptr) return TCL_ERROR;
    kivo->SetKeyword(argv[2]);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclSetThumb24Color) {
  return Run(interp, [&] {
    if (argc != 2 && argc != 3) {
      KvTclStatic(interp, "Usage: kivo_set_thumb_24color kivoDes [True]");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1], Missing::kDescriptor);
    if (kivo == nullptr) return TCL_ERROR;
    kivo->SetThumbnail24Bit(argc == 3 && std::strcmp(argv[2], "True") == 0 ? 1 : 0);
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclSetThumbSize) {
  return Run(interp, [&] {
    if (argc != 2 && argc != 4) {
      KvTclStatic(interp, "Usage: kivo_set_thumb_size kivoDes [width, height]");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1], Missing::kDescriptor);
    if (kivo == nullptr) return TCL_ERROR;
    if (argc == 2) {
      kivo->SetThumbnailSize(100, 100);
    } else {
      kivo->SetThumbnailSize(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    return TCL_OK;
  });
}

KV_TCL_COMMAND(KvTclSetThumbPad) {
  return Run(interp, [&] {
    if (argc != 2 && argc != 3) {
      KvTclStatic(interp, "Usage: kivo_set_thumb_pad kivoDes ?True?");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = Lookup(interp, argv[1], Missing::kDescriptor);
    if (kivo == nullptr) return TCL_ERROR;
    kivo->SetThumbnailPad(argc == 3 && std::strcmp(argv[2], "True") == 0 ? 1 : 0);
    return TCL_OK;
  });
}

void KvTclDestroyDescriptors(ClientData) {
  if (!gDescriptorsReady) return;
  Tcl_HashSearch search;
  for (Tcl_HashEntry* entry = Tcl_FirstHashEntry(&gDescriptors, &search); entry != nullptr;
       entry = Tcl_NextHashEntry(&search)) {
    delete static_cast<KivoWrapClass*>(Tcl_GetHashValue(entry));
  }
  Tcl_DeleteHashTable(&gDescriptors);
  gDescriptorsReady = false;
}

KV_TCL_COMMAND(KvTclEnd) {
  return Run(interp, [&] {
    if (argc != 2) {
      KvTclStatic(interp, "Usage: kivo_end kivoDescriptor");
      return TCL_ERROR;
    }
    if (!gDescriptorsReady) {
      KvTclStatic(interp, "kivo is not initialized");
      return TCL_ERROR;
    }
    Tcl_HashEntry* entry = Tcl_FindHashEntry(&gDescriptors, argv[1]);
    if (entry == nullptr) {
      KvTclStatic(interp, "No kivo descriptor exists for close");
      return TCL_ERROR;
    }
    KivoWrapClass* kivo = static_cast<KivoWrapClass*>(Tcl_GetHashValue(entry));
    Tcl_DeleteHashEntry(entry);
    delete kivo;
    return TCL_OK;
  });
}
