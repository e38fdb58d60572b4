// The INI text rules behind the Linux profile strings, on UTF-8 bytes held in memory. Lines end
// at '\n' (or at '\r' where no '\n' follows); blanks around each line, name and value do not
// count; "[name]" starts a section (up to the line's last ']'), "key=value" sets a key, a line
// without '=' names a key without a value. Lines before the first section form a nameless
// section. Only the first section of a name counts, and within it the first key of a name;
// names compare without regard to ASCII case.
#pragma once

#include <string>
#include <string_view>

namespace platform::posix {

// Finds the key's value, without the blanks around it. False when the section or the key is
// missing or the key's line has no '='.
bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view& value);

// The text with the key set to `value`: the key's first line rewritten in place, or a line
// added at the end of the section, or the section added at the end of the text. Every other
// line is kept byte for byte; added lines end like the lines around them.
std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value);

// Removes one pair of equal quotes (" or ') enclosing the whole text.
std::string_view StripProfileQuotes(std::string_view text);

}  // namespace platform::posix
