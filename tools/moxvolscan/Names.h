// How the program shows names and how it reads them back from a command line.
//
// A name is shown as UTF-8 with some bytes written as "%" and two hex digits:
// control characters (below $20, $7F and U+0080..U+009F), "%", "/" and "\".
// A shown path therefore splits on "/" alone, nothing in it can move the
// terminal's cursor, and every shown name turns back into its bytes. A name
// that is not valid UTF-8 comes from an 8.3 record, whose bytes are DOS code
// page text: it is decoded through code page 437, the one Linux mounts FAT
// volumes with by default, so it reads as it would on a mounted volume. The
// names "." and ".." are shown as "%2E" and "%2E%2E", an empty name as "%".
#pragma once

#include <string>
#include <string_view>

// shortName false: a host name, whose bytes that are not UTF-8 show as %XX.
void AppendShownName(std::string& out, std::string_view name, bool shortName = true);
std::string ShownName(const std::string& name);
// One component of a path as typed: "%XX" is that byte, "%" alone the empty
// name, any other "%" itself.
std::string TypedName(const std::string& component);
// Text for the terminal: control characters and bytes that are not UTF-8 as %XX.
std::string Printable(const std::string& text);
