// The frame of a query text: header, restriction items and terms, located
// without creating any object. The embedded texts (key sets, parameter sets,
// data objects) are only delimited here; their own classes read them.
//
//   query    = "query" maxResults catalogName [ restriction ] "{"
//              { mainTerm [ "&" ] } [ "p" "(" subTerm { "&" subTerm } ")" ] "}"
//   restriction = "[" <...> "]" [ "&" "p" "(" "[" <...> "]" ")" ]
//               | "p" "(" "[" <...> "]" ")"
//   term     = "[" featureClassName <parameters> <data> "]"
//
// Words are separated by white space; brackets, braces, parentheses, "&" and
// "p" are words of their own and are recognised by their first character.
// A <...> text starts at a word beginning with "<" and ends with the first
// ">" after that "<". At most kKvMaxQueryTerms terms of each kind are read;
// when either count reaches it the rest of the text is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr int kKvMaxQueryTerms = 16;
constexpr size_t kKvMaxCatalogName = 255;

// A <...> text: bytes [begin, end) of the query text, from "<" through ">".
struct KvQueryPiece {
  size_t begin = 0;
  size_t end = 0;
};

struct KvQueryTerm {
  std::string_view featureName;
  KvQueryPiece parameters;
  KvQueryPiece data;
};

struct KvQueryFrame {
  uint32_t maxResults = 0;  // values above 2^32 - 1 are clamped
  std::string_view catalogName;
  bool hasRestriction = false;
  bool hasSubPartRestriction = false;
  KvQueryPiece restriction;
  KvQueryPiece subPartRestriction;
  std::vector<KvQueryTerm> mainTerms;
  std::vector<KvQueryTerm> subPartTerms;
};

// Locates the parts of text. Returns true, or false with a message naming
// what was expected and the byte offset in *error. Never reads outside text
// and allocates only in proportion to the number of terms (at most 32).
// May throw std::bad_alloc.
bool KvParseQueryFrame(std::string_view text, KvQueryFrame* frame, std::string* error);

// Whether every text that begins with prefix is malformed, so that the rest
// of a long text need not be kept to refuse it. True, with the message
// KvParseQueryFrame gives the whole text, when the frame fails at a byte of
// the prefix that no continuation changes (a complete word, a "<" that is
// missing); false when the prefix parses or could still begin a frame (it
// ends inside a word, a <...> text or before the frame's end).
bool KvQueryFrameRefused(std::string_view prefix, std::string* error);
