// The keyword text file that belongs to an image: where it is looked for and
// how it is read. Used by the image reader; declared here for its tests.
#pragma once

#include <string>

// Longest directory (without its NUL) the keyword search works with.
constexpr size_t kKvMaxTextDirectory = 199;

// Makes directory absolute (relative names are taken from the current
// directory) and normalises it lexically: '/' or '\\' separate components,
// "." and ".." are resolved, the result uses '/' and ends with '/'. False
// (error recorded) when the current directory is unknown or the result is
// longer than kKvMaxTextDirectory.
bool KvAbsoluteDirectory(const std::string& directory, std::string* out);

// The keyword text directory of an image directory given in absolute form:
// for /data/images/set1/ it is /data/text/set1/; when the image directory has
// fewer than two components it is the current directory "./".
std::string KvTextDirectory(const std::string& absoluteDirectory);

// Reads the keyword text of an image into text (capacity *textSize bytes).
// foundName is the path the image was found at and fileName the name it was
// asked for; testImage says it was a "!@" name, which has no directory of its
// own. Runs of white space become one blank; *textSize becomes the number of
// characters kept plus one, or 0 with an empty text when no file is found.
// 0 on success, -1 (error recorded) when the search itself fails.
int KvReadKeywordText(const char* foundName, const char* fileName, bool testImage, char* text,
                      int* textSize);
