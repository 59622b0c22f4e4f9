// Locating the parts of a query text. The text is untrusted (it may come from
// a socket): every step checks the remaining length before it looks at a
// byte, and a failure names the offset where the text went wrong.
#include "query/KvQueryText.h"

#include <cctype>
#include <cstdio>

namespace {

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  size_t Position() const { return pos_; }
  size_t Size() const { return text_.size(); }

  void SkipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

  // The next word (empty at the end of the text).
  std::string_view Word() {
    SkipSpace();
    const size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // The first character of the next word without taking it, or 0 at the end.
  char PeekFirst() {
    SkipSpace();
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }

  // A <...> text: the next word must begin with "<"; the text runs to the
  // first ">" after it. False when the word does not begin with "<" or no
  // ">" follows.
  bool Piece(KvQueryPiece* piece, bool* unterminated) {
    *unterminated = false;
    SkipSpace();
    if (pos_ >= text_.size() || text_[pos_] != '<') return false;
    const size_t close = text_.find('>', pos_ + 1);
    if (close == std::string_view::npos) {
      *unterminated = true;
      return false;
    }
    piece->begin = pos_;
    piece->end = close + 1;
    pos_ = close + 1;
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

class FrameParser {
 public:
  FrameParser(std::string_view text, KvQueryFrame* frame, std::string* error)
      : lex_(text), frame_(frame), error_(error) {}

  // Whether the last failure depends on where the text ends: it came at its
  // end, or a <...> text was still open there.
  bool atEnd() const { return atEnd_; }

  bool Run() {
    if (!Header()) return false;
    char c = lex_.PeekFirst();
    if (c == '[') {
      if (!Restriction(&frame_->restriction)) return false;
      frame_->hasRestriction = true;
      if (lex_.PeekFirst() == '&') {
        lex_.Word();
        if (!Expect('p', "\"p\"") || !Expect('(', "\"(\"")) return false;
        if (!Restriction(&frame_->subPartRestriction) || !Expect(')', "\")\"")) return false;
        frame_->hasSubPartRestriction = true;
      }
    } else if (c == 'p') {
      lex_.Word();
      if (!Expect('(', "\"(\"")) return false;
      if (!Restriction(&frame_->subPartRestriction) || !Expect(')', "\")\"")) return false;
      frame_->hasSubPartRestriction = true;
    }
    if (!Expect('{', "\"{\"")) return false;
    return Terms();
  }

 private:
  bool Fail(const char* what) {
    char text[160];
    std::snprintf(text, sizeof text, "%s at offset %zu", what, lex_.Position());
    *error_ = text;
    atEnd_ = atEnd_ || lex_.Position() >= lex_.Size();
    return false;
  }

  // Takes the next word and checks its first character.
  bool Expect(char first, const char* name) {
    const std::string_view word = lex_.Word();
    if (word.empty() || word[0] != first) {
      std::string what = std::string("expected ") + name;
      what += word.empty() ? " but the text ended" : " but found another word";
      return Fail(what.c_str());
    }
    return true;
  }

  bool TakePiece(KvQueryPiece* piece, const char* name) {
    bool unterminated = false;
    if (lex_.Piece(piece, &unterminated)) return true;
    atEnd_ = unterminated;
    std::string what = unterminated ? std::string("no \">\" closes the ") + name + " text"
                                    : std::string("expected a ") + name + " text beginning with \"<\"";
    return Fail(what.c_str());
  }

  bool Header() {
    const std::string_view first = lex_.Word();
    // The text must begin with the word itself, not with white space.
    if (first != "query" || lex_.Position() != 5) return Fail("the query text must begin with the word \"query\"");
    const std::string_view count = lex_.Word();
    if (count.empty()) return Fail("expected the maximum number of results but the text ended");
    uint64_t n = 0;
    for (char c : count) {
      if (c < '0' || c > '9') return Fail("the maximum number of results is not an unsigned number");
      if (n <= 0xFFFFFFFFull) n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    frame_->maxResults = n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(n);
    const std::string_view catalog = lex_.Word();
    if (catalog.empty()) return Fail("expected the catalog name but the text ended");
    if (catalog.size() > kKvMaxCatalogName) return Fail("the catalog name is longer than 255 characters");
    frame_->catalogName = catalog;
    return true;
  }

  // "[" <...> "]"
  bool Restriction(KvQueryPiece* piece) {
    return Expect('[', "\"[\"") && TakePiece(piece, "key set") && Expect(']', "\"]\"");
  }

  // "[" name <...> <...> "]", the "[" already taken.
  bool Term(std::vector<KvQueryTerm>* terms) {
    KvQueryTerm term;
    term.featureName = lex_.Word();
    if (term.featureName.empty()) return Fail("expected a feature class name but the text ended");
    if (term.featureName[0] == '<') return Fail("expected a feature class name before the parameter text");
    if (!TakePiece(&term.parameters, "parameter") || !TakePiece(&term.data, "data object")) return false;
    if (!Expect(']', "\"]\" after a term")) return false;
    terms->push_back(term);
    return true;
  }

  bool Terms() {
    for (;;) {
      const std::string_view word = lex_.Word();
      if (word.empty()) return Fail("expected a term or \"}\" but the text ended");
      if (word[0] == '}') return true;
      if (word[0] == '[') {
        if (!Term(&frame_->mainTerms)) return false;
        if (frame_->mainTerms.size() >= kKvMaxQueryTerms) return true;
        if (lex_.PeekFirst() == '&') lex_.Word();
        continue;
      }
      if (word[0] == 'p') return SubPartBlock();
      return Fail("expected \"[\", \"p\" or \"}\"");
    }
  }

  // "(" term { "&" term } ")" "}", the "p" already taken.
  bool SubPartBlock() {
    if (!Expect('(', "\"(\"")) return false;
    for (;;) {
      if (!Expect('[', "\"[\"") || !Term(&frame_->subPartTerms)) return false;
      if (frame_->subPartTerms.size() >= kKvMaxQueryTerms) return true;
      const std::string_view word = lex_.Word();
      if (word.empty()) return Fail("expected \"&\" or \")\" but the text ended");
      if (word[0] == '&') continue;
      if (word[0] == ')') break;
      return Fail("expected \"&\" or \")\"");
    }
    return Expect('}', "\"}\"");
  }

  Lexer lex_;
  KvQueryFrame* frame_;
  std::string* error_;
  bool atEnd_ = false;
};

}  // namespace

bool KvParseQueryFrame(std::string_view text, KvQueryFrame* frame, std::string* error) {
  *frame = KvQueryFrame();
  FrameParser parser(text, frame, error);
  return parser.Run();
}

bool KvQueryFrameRefused(std::string_view prefix, std::string* error) {
  KvQueryFrame frame;
  std::string message;
  FrameParser parser(prefix, &frame, &message);
  if (parser.Run() || parser.atEnd()) return false;
  *error = message;
  return true;
}
