// Usage texts of the four commands. The texts are fixed: scripts and users
// compare them, so every blank and tab matters.
#include <cstdio>

#include "KivoWrap.h"

namespace {

const char kMakeDatabaseUsage[] =
    "[-r | -i | -u | -U ] [-E] [-c catalog]\n"
    "[-d database]\n"
    "[-f feature1[:parms1] [-f feature2[:parms2]] ...] \n"
    "[-s sampler1:feature1[:parms1] [ -f sampler2:feature2[:parms2]] ...]\n"
    "[-e EnvVar=EnvValue ...] \n"
    "[-l imageFileName |\n"
    "   image1 [ image2 ...]\n"
    "\t-r           removes the record or sample from the catalog or sampler\n"
    "\t-i           incremental update record: add data in new features classes\n"
    "\t-u           update record: replace/refresh data in all feature classes\n"
    "\t-U           update record: replace/refresh/insert data in all feature\n"
    "\t             classes\n"
    "\t-c catalog   specifies the catalog name (defaults to \"test\")\n"
    "\t-d database  specifies the database name (defaults to \"KivoData\n"
    "\t-E           erases the catalog (or listed features from the catalog)\n"
    "\t             or sampler (use with caution!)\n"
    "\t-f feature[:parms]\n"
    "\t             adds (removes if -E specified) the feature to the catalog\n"
    "\t             using the (optional) parameters for feature computation\n"
    "\t-e EnvVar=EnvValue\n"
    "\t             to set general environment variable\n"
    "\t -l imageFileName\n"
    "\t             name of file with one image+masks specification per line\n"
    "\t             (in same syntax as what follows the -p option below)\n"
    "\t image1 [image2]\n"
    "\t             list of images to add or remove\n"
    "\t NOTE: -l option not available with commandline list of image/masks.\n";

const char kQueryUsagePart1[] =
    "-Q querySpec\n"
    "\t-Q querySpec specifies a file to read for the query specification\n";

const char kQueryUsagePart2[] =
    "-h | -l | -L | -P | -r | -i|I|G|D query-image \n"
    "\t [-c catalog] [-d database] [-T keyword]\n"
    "\t [-f|F feature1[:parms1] [-f|F feature2[:parms2] ...]]\n"
    "\t [-n nresults] [-t] [-e EnvVar=EnvValue ]\n"
    "\t-h           help -- dump this usage message\n"
    "\t-l           the list of feature classes in the catalog (-c or default)\n"
    "\t-L           the list of feature classes known to Kivo\n"
    "\t-P           dump the default parameters for each of the -F features\n"
    "\t-r           make a \"random\" query returning a list of random\n"
    "\t             database keys in the feature (-f), catalog (-c or default)\n"
    "\t             and database (-d or default)\n"
    "\t-R           make a \"random\" query returning the same set of random\n"
    "\t             database keys in the feature (-f), catalog (-c or default)\n"
    "\t             and database (-d or default)\n"
    "\t-i dbkey     specify the database key (key must exist in db)\n"
    "\t             for the query\n"
    "\t-I image     specify the image file for the query\n"
    "\t-S description\n"
    "\t             specify the GUI-generated query image description string\n"
    "\t-c catalog   specifies the catalog name (defaults to \"test\")\n"
    "\t-d database  specifies the database name (defaults to \"KivoData\")\n"
    "\t-T keyword   specifies the single restriction-keyword to filter with\n"
    "\t             (first query)\n"
    "\t-f feature:parms\n"
    "\t             specifies the feature class(es) to use in the main (second)\n"
    "\t             query together with (optional) weights are parameters for\n"
    "\t             that feature -- see documentation for details on parameters\n"
    "\t-F feature   specifies the feature data to dump for -i,-I,-G,-D,-P options\n"
    "\t-n #         specifies the maximum number of results to return\n"
    "\t             (from second query) \n"
    "\t-e EnvVar=EnvValue\n"
    "\t             to set general Kivo environment variables\n"
    "\t-t           time the main query in milliseconds\n";

const char kThumbnailUsagePart1[] = "KvMkThmb [options] imageName thumbnailName\n";
const char kThumbnailUsagePart2[] = "KvMkThmb -l imageFile [options]\n";
const char kThumbnailUsagePart3[] =
    "Where options are\n"
    "\t-p             pad boundary with black to fill requested size\n"
    "\t-n             don't pad boundary, adjust dimensions to scale\n"
    "\t-c             use fixed colormap (default)\n"
    "\t-t             use 24bit true color, not the colormap\n"
    "\t-w width       requested thumbnail width\n"
    "\t-h height      requested thumbnail height\n"
    "\t-o directory   output directory for thumbnail (with -l option only)\n"
    "\t-s suffix      thumbnail suffix added to image name, default is\n"
    "\t               \".thumb0.gif\" (with -l option only)\n"
    "\t-e EnvVar=EnvValue  used to set general Kivo environment variable\n"
    "\te.g. KvMkThmb -t -w 128 -h 128 flower01.jpg flower01.jpg.thumb0.gif\n";

const char kDumpUsage[] =
    "Usage:\t KvDumpDb -d database dbmFileName [-f featureName] \n"
    "OR:   \t KvDumpDb -c catalog -d database -f feature1 [-f feature2 ...]\n";

FILE* StreamOrStderr(FILE* stream) { return stream != nullptr ? stream : stderr; }

}  // namespace

int KivoWrapClass::MakeDatabaseUsage(FILE* stream, KvStringClass* out) {
  if (out != nullptr) {
    out->Append("Usage:\n");
    out->Append(kMakeDatabaseUsage);
  } else {
    std::fprintf(StreamOrStderr(stream), "Usage:\n%s", kMakeDatabaseUsage);
  }
  return 0;
}

int KivoWrapClass::QueryByExampleUsage(FILE* stream, KvStringClass* out) {
  if (out != nullptr) {
    out->Append(kQueryUsagePart1);
    out->Append(" OR ");
    out->Append(kQueryUsagePart2);
  } else {
    std::fprintf(StreamOrStderr(stream), "\nKvQBE %s OR \nKvQBE %s", kQueryUsagePart1,
                 kQueryUsagePart2);
  }
  return 0;
}

int KivoWrapClass::MakeThumbnailsUsage(FILE* stream, KvStringClass* out) {
  if (out != nullptr) {
    out->Append(kThumbnailUsagePart1);
    out->Append("OR\n");
    out->Append(kThumbnailUsagePart2);
    out->Append(kThumbnailUsagePart3);
  } else if (stream != nullptr) {
    std::fprintf(stream, "\nUsage:\n\n%s \nOR\n%s\n%s", kThumbnailUsagePart1, kThumbnailUsagePart2,
                 kThumbnailUsagePart3);
  } else {
    std::fprintf(stderr, "\nUsage:\n\n%s \nOr\n%s\n%s", kThumbnailUsagePart1, kThumbnailUsagePart2,
                 kThumbnailUsagePart3);
  }
  return 0;
}

int KivoWrapClass::DumpDatabaseUsage(FILE* stream, KvStringClass* out) {
  if (out != nullptr) {
    out->Append(kDumpUsage);
  } else {
    std::fprintf(StreamOrStderr(stream), "\n%s", kDumpUsage);
  }
  return 0;
}
