// The INI text rules of the Linux profile strings, kept apart from the file handling so that
// they can be checked on any bytes.
#include "platform/posix/profile_text.h"

#include <cstdint>
#include <optional>

namespace platform::posix {

namespace {

// Blanks that do not count around lines, names and values (Ctrl-Z included, as old editors end
// a text with it).
bool IsProfileBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\x1a';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsProfileBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsProfileBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// UTF-8 bytes of non-ASCII characters are all above 0x7F, so folding ASCII bytes compares the
// characters without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

struct Line {
    size_t begin = 0;       // first byte of the line
    size_t contentEnd = 0;  // end of the line without its line break
    size_t next = 0;        // first byte of the following line
    bool hasBreak = false;
};

// Splits at '\n'; a text (or a rest of it) without any '\n' splits at '\r'.
class LineReader {
  public:
    explicit LineReader(std::string_view text) : text_(text) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF")
            pos_ = 3;
    }

    size_t Start() const { return text_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0; }

    bool Next(Line& line) {
        if (pos_ >= text_.size())
            return false;
        line.begin = pos_;
        size_t brk = noNewline_ ? std::string_view::npos : text_.find('\n', pos_);
        if (brk == std::string_view::npos) {
            noNewline_ = true;
            brk = text_.find('\r', pos_);
        }
        if (brk == std::string_view::npos) {
            line.contentEnd = text_.size();
            line.next = text_.size();
            line.hasBreak = false;
        } else {
            line.contentEnd = brk;
            if (text_[brk] == '\n' && brk > pos_ && text_[brk - 1] == '\r')
                line.contentEnd = brk - 1;
            line.next = brk + 1;
            line.hasBreak = true;
        }
        pos_ = line.next;
        return true;
    }

  private:
    std::string_view text_;
    size_t pos_ = 0;
    bool noNewline_ = false;
};

enum class LineKind { kBlank, kSection, kKey };

struct ParsedLine {
    LineKind kind = LineKind::kBlank;
    std::string_view name;  // section or key name, trimmed
    std::optional<std::string_view> value;
};

ParsedLine ParseLine(std::string_view raw) {
    ParsedLine parsed;
    std::string_view line = Trim(raw);
    if (line.empty())
        return parsed;
    if (line.front() == '[') {
        size_t close = line.rfind(']');
        if (close != std::string_view::npos && close > 0) {
            parsed.kind = LineKind::kSection;
            parsed.name = Trim(line.substr(1, close - 1));
            return parsed;
        }
    }
    parsed.kind = LineKind::kKey;
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        parsed.name = line;
    } else {
        parsed.name = Trim(line.substr(0, equals));
        parsed.value = Trim(line.substr(equals + 1));
    }
    return parsed;
}

// Where a key lives or would go in the text.
struct KeyPlace {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;              // when keyFound
    std::string_view keyName;  // the name as the file spells it, when keyFound
    std::optional<std::string_view> value;
    bool sectionHasLines = false;
    Line lastSectionLine;  // last non-blank line of the section (its header, if nothing else)
};

KeyPlace LocateKey(std::string_view text, std::string_view section, std::string_view key) {
    section = Trim(section);
    key = Trim(key);
    KeyPlace place;
    // The nameless section at the top of the text.
    bool inSection = section.empty();
    place.sectionFound = inSection;
    LineReader reader(text);
    Line line;
    while (reader.Next(line)) {
        ParsedLine parsed = ParseLine(text.substr(line.begin, line.contentEnd - line.begin));
        if (parsed.kind == LineKind::kBlank)
            continue;
        if (parsed.kind == LineKind::kSection) {
            if (inSection)
                break;  // only the first section of a name counts
            if (!place.sectionFound && SameName(parsed.name, section)) {
                inSection = true;
                place.sectionFound = true;
                place.sectionHasLines = true;
                place.lastSectionLine = line;
            }
            continue;
        }
        if (!inSection)
            continue;
        place.sectionHasLines = true;
        place.lastSectionLine = line;
        if (SameName(parsed.name, key)) {
            place.keyFound = true;
            place.keyLine = line;
            place.keyName = parsed.name;
            place.value = parsed.value;
            break;
        }
    }
    return place;
}

// The line break for a line added at `at`. Where a '\n' follows, lines split at '\n' and the
// text's first line break is copied; in a closing stretch that splits at '\r' a '\n' would join
// that stretch's lines into one, so a '\r' is used there.
std::string_view LineBreakAt(std::string_view text, size_t at) {
    if (text.find('\n', at) == std::string_view::npos) {
        size_t lastNewline = text.rfind('\n');
        size_t tail = lastNewline == std::string_view::npos ? 0 : lastNewline + 1;
        if (text.find('\r', tail) != std::string_view::npos)
            return "\r";
    }
    size_t newline = text.find('\n');
    return newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r' ? "\r\n"
                                                                                         : "\n";
}

}  // namespace

bool FindProfileValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view& value) {
    KeyPlace place = LocateKey(text, section, key);
    if (!place.keyFound || !place.value)
        return false;
    value = *place.value;
    return true;
}

std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value) {
    KeyPlace place = LocateKey(text, section, key);
    std::string out;
    out.reserve(text.size() + section.size() + key.size() + value.size() + 8);
    if (place.keyFound) {
        out.append(text.substr(0, place.keyLine.begin));
        out.append(place.keyName).append("=").append(value);
        out.append(text.substr(place.keyLine.contentEnd));
        return out;
    }
    std::string entry = std::string(Trim(key)) + "=" + std::string(value);
    if (place.sectionFound) {
        size_t at = place.sectionHasLines ? place.lastSectionLine.next : LineReader(text).Start();
        std::string_view lineBreak = LineBreakAt(text, at);
        out.append(text.substr(0, at));
        if (place.sectionHasLines && !place.lastSectionLine.hasBreak)
            out.append(lineBreak);
        out.append(entry).append(lineBreak);
        out.append(text.substr(at));
        return out;
    }
    std::string_view lineBreak = LineBreakAt(text, text.size());
    out.append(text);
    if (!out.empty() && out.back() != '\n' && out.back() != '\r')
        out.append(lineBreak);
    out.append("[").append(Trim(section)).append("]").append(lineBreak);
    out.append(entry).append(lineBreak);
    return out;
}

size_t ProfileIndex::NameHash::operator()(std::string_view name) const {
    // FNV-1a of the name in ASCII lower case.
    uint64_t hash = 14695981039346656037ULL;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(LowerAscii(c));
        hash *= 1099511628211ULL;
    }
    return static_cast<size_t>(hash);
}

bool ProfileIndex::NameEqual::operator()(std::string_view a, std::string_view b) const {
    return SameName(a, b);
}

ProfileIndex::ProfileIndex(std::string_view text) {
    // The rules of LocateKey, applied to every line at once.
    Keys* keys = &sections_[std::string()];
    LineReader reader(text);
    Line line;
    while (reader.Next(line)) {
        ParsedLine parsed = ParseLine(text.substr(line.begin, line.contentEnd - line.begin));
        if (parsed.kind == LineKind::kBlank)
            continue;
        if (parsed.kind == LineKind::kSection) {
            // A later section of a name already seen is never looked into.
            auto [section, added] = sections_.try_emplace(std::string(parsed.name));
            keys = added ? &section->second : nullptr;
            continue;
        }
        if (keys == nullptr)
            continue;
        std::optional<std::string> value;
        if (parsed.value)
            value = std::string(*parsed.value);
        keys->try_emplace(std::string(parsed.name), std::move(value));
    }
}

bool ProfileIndex::Find(std::string_view section, std::string_view key,
                        std::string_view& value) const {
    auto keys = sections_.find(Trim(section));
    if (keys == sections_.end())
        return false;
    auto found = keys->second.find(Trim(key));
    if (found == keys->second.end() || !found->second)
        return false;
    value = *found->second;
    return true;
}

std::string_view StripProfileQuotes(std::string_view text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

}  // namespace platform::posix
