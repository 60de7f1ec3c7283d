// Text that came from the network, made fit for a terminal. A peer chooses its name, its description, its
// message headers and data: bytes a terminal obeys (ESC starting a control sequence that recolours or
// retitles it, BEL, CR rewriting the line) or bytes that are no text at all. Everything the console prints
// for people out of what it heard passes through Shown (or Quoted, built on it); JSON records have their own
// escaping (VELConsoleJson), which shares the UTF-8 reading below.
#ifndef VELP2P_APPS_VELCONSOLETEXT_H
#define VELP2P_APPS_VELCONSOLETEXT_H

#include <cstddef>
#include <string>

class VELConsoleText {
 public:
  // The length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there does not start one
  // (overlong forms, surrogates and code points past U+10FFFF are not well-formed).
  static size_t SequenceLength(const std::string& text, size_t i);
  // The text with every byte that is not part of a well-formed sequence replaced by U+FFFD.
  static std::string ValidUtf8(const std::string& text);

  // The text as a terminal may show it: well-formed UTF-8 is kept, non-ASCII letters included; a control
  // character is written out, \x1b for a byte of C0 (NUL to US) or DEL, \u0085 for a code point of C1
  // (U+0080 to U+009F); each byte outside a well-formed sequence becomes U+FFFD.
  static std::string Shown(const std::string& text);
  // The shown text in double quotes, a quote or backslash inside it preceded by a backslash.
  static std::string Quoted(const std::string& text);
  // True when Shown leaves the text as it is: well-formed UTF-8 without a control character.
  static bool IsPlain(const std::string& text);

 private:
  static void Append(const std::string& text, bool quoting, std::string& out);
};

#endif
