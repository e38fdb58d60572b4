// Fuzz target for the Linux hive text: any bytes must parse or be refused without a crash, a leak
// or a hang; a parsed hive written out must parse back to the same text; and a string or DWORD
// value set under any key path that can be written reads back as set after a round through the
// text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/utf8.h"
#include "platform/posix/reg_text.h"

namespace reg_text = platform::posix::reg_text;

namespace {

std::string Bytes(const reg_text::Hive& hive) {
    std::string bytes;
    if (!utf8::Encode(reg_text::FormatHive(hive), bytes))
        std::abort();  // every parsed or built hive holds valid text
    return bytes;
}

// Writes the hive out and reads it back: the second text must equal the first.
void CheckRoundTrip(const reg_text::Hive& hive) {
    std::string first = Bytes(hive);
    reg_text::Hive again;
    if (!reg_text::ParseHive(first, again) || Bytes(again) != first)
        std::abort();
}

const reg_text::Value* Find(reg_text::Hive& hive, const reg_text::KeyPath& path,
                            const std::wstring& name) {
    auto key = hive.find(path);
    if (key == hive.end())
        return nullptr;
    auto value = reg_text::FindValue(key->second, name);
    return value == key->second.end() ? nullptr : &*value;
}

void CheckSetValue(FuzzedDataProvider& data) {
    std::wstring key;
    std::wstring name;
    std::wstring text;
    if (!utf8::Decode(data.ConsumeRandomLengthString(64), key) ||
        !utf8::Decode(data.ConsumeRandomLengthString(32), name) ||
        !utf8::Decode(data.ConsumeRandomLengthString(64), text))
        return;
    reg_text::KeyPath path;
    if (!reg_text::SplitKeyPath(key, path) || !reg_text::IsSingleLine(name))
        return;
    bool dword = data.ConsumeBool();
    uint32_t number = data.ConsumeIntegral<uint32_t>();

    reg_text::Hive hive;
    reg_text::ParseHive(data.ConsumeRemainingBytesAsString(), hive);
    reg_text::Value value;
    value.name = name;
    if (dword) {
        value.kind = reg_text::Value::Kind::kDword;
        value.dword = number;
    } else if (reg_text::IsSingleLine(text)) {
        value.text = text;
    } else {
        return;
    }
    reg_text::SetValue(reg_text::CreateKey(hive, path), value);

    reg_text::Hive read;
    if (!reg_text::ParseHive(Bytes(hive), read))
        std::abort();
    const reg_text::Value* stored = Find(read, path, name);
    if (stored == nullptr || stored->kind != value.kind)
        std::abort();
    if (dword ? stored->dword != number : stored->text != text)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    FuzzedDataProvider data(bytes, size);
    if (data.ConsumeBool()) {
        reg_text::Hive hive;
        if (reg_text::ParseHive(data.ConsumeRemainingBytesAsString(), hive))
            CheckRoundTrip(hive);
    } else {
        CheckSetValue(data);
    }
    return 0;
}
