// The INI text rules behind the Linux profile strings, on UTF-8 bytes held in memory. Lines end
// at '\n' (or at '\r' where no '\n' follows); blanks around each line, name and value do not
// count; "[name]" starts a section (up to the line's last ']'), "key=value" sets a key, a line
// without '=' names a key without a value. Lines before the first section form a nameless
// section. Only the first section of a name counts, and within it the first key of a name;
// names compare without regard to ASCII case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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

// The values of a text, parsed once to be looked up many times: Find answers as
// FindProfileValue does on the same text, without reading the text again. The value found
// lives as long as the index.
class ProfileIndex {
  public:
    explicit ProfileIndex(std::string_view text);

    bool Find(std::string_view section, std::string_view key, std::string_view& value) const;

  private:
    // Names as the rules compare them: without regard to ASCII case.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const;
    };
    struct NameEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const;
    };
    // The first key of each name; no value for a line without '='.
    using Keys = std::unordered_map<std::string, std::optional<std::string>, NameHash, NameEqual>;
    // The first section of each name; "" is the nameless one at the top of the text.
    std::unordered_map<std::string, Keys, NameHash, NameEqual> sections_;
};

// Removes one pair of equal quotes (" or ') enclosing the whole text.
std::string_view StripProfileQuotes(std::string_view text);

}  // namespace platform::posix
