// Splits a console command line into arguments and reads the typed values (numbers, data) inside them.
#ifndef VELP2P_APPS_VELCONSOLELINE_H
#define VELP2P_APPS_VELCONSOLELINE_H

#include <cstdint>
#include <string>
#include <vector>

// The console's line syntax: arguments are separated by spaces or tabs; an argument is written in double
// quotes when it holds spaces, and inside the quotes \" stands for a quote and \\ for a backslash (any
// other backslash is kept as it is, so that Windows paths need no doubling). Quoted and plain pieces that
// touch form one argument, "" is an empty argument. Outside quotes a backslash is an ordinary character.
class VELConsoleLine {
 public:
  // Fills arguments from line (a trailing carriage return is ignored). False, with a message in error,
  // when a quote is left open; arguments is then unspecified.
  static bool Split(const std::string& line, std::vector<std::string>& arguments, std::string& error);

  // Writes text back in the syntax above: plain when it can be, quoted and escaped otherwise.
  static std::string Quote(const std::string& text);

  // A signed 32-bit number in decimal, or in hexadecimal after 0x; a leading minus is allowed for both.
  // Nothing else may surround it.
  static bool ParseInt32(const std::string& text, int32_t& value);
  // The same, limited to 0 to 255.
  static bool ParseByte(const std::string& text, uint8_t& value);

  // The bytes an application-data argument stands for: the text's own UTF-8 bytes, or, for "hex:" followed
  // by pairs of hexadecimal digits (either case), those bytes. False for an odd count or a non-digit.
  static bool ParseData(const std::string& text, std::string& bytes, std::string& error);

  // Lower-case hexadecimal of the bytes, two digits per byte.
  static std::string Hex(const char* bytes, size_t size);
};

#endif
