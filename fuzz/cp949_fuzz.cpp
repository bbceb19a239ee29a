// Code page 949 as Windows reads it: a lead byte 81-FE takes the byte after it unless that is
// NUL or there is none, any other byte is a character of its own, and every character reads
// as one UTF-16 unit, the same alone as amid others. Bytes that read without '?' (but for '?'
// itself) come back from ToCp949; whatever was read comes back from ToCp949 then FromCp949;
// text made only of characters the code page holds comes back from ToCp949 then FromCp949.
// UTF-8 round trips for text of Unicode scalar values ride along.
#include <string>
#include <vector>

#include "base/Cp949.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

// What FromCp949 puts for a pair the code page does not assign or a lead byte alone.
constexpr wchar_t kUnread = L'?';

std::vector<std::string_view> Characters(std::string_view bytes) {
    std::vector<std::string_view> out;
    for (size_t i = 0; i < bytes.size();) {
        auto b = static_cast<unsigned char>(bytes[i]);
        const bool pair = b >= 0x81 && b <= 0xFE && i + 1 < bytes.size() && bytes[i + 1] != '\0';
        out.push_back(bytes.substr(i, pair ? 2 : 1));
        i += pair ? 2 : 1;
    }
    return out;
}

void Bytes(std::string_view bytes) {
    const std::wstring text = FromCp949(bytes);
    const std::vector<std::string_view> characters = Characters(bytes);
    Check(text.size() == characters.size(), "the bytes do not read as one unit a character",
          Shown(bytes) + " -> " + Shown(text));
    bool whole = true;
    for (size_t i = 0; i < characters.size(); ++i) {
        Check(FromCp949(characters[i]) == text.substr(i, 1),
              "a character reads unlike itself alone",
              Shown(bytes) + " -> " + Shown(text) + ", " + Shown(characters[i]));
        whole = whole && (text[i] != kUnread || characters[i] == "?");
    }
    if (whole) {
        Check(ToCp949(text) == bytes, "decoded code page 949 does not encode back",
              Shown(bytes) + " -> " + Shown(text) + " -> " + Shown(ToCp949(text)));
    }
    Check(FromCp949(ToCp949(text)) == text, "decoded text does not survive a round trip",
          Shown(bytes) + " -> " + Shown(text));
}

bool IsScalarValue(wchar_t c) {
    auto u = static_cast<uint32_t>(c);
    return u <= 0x10FFFF && (u < 0xD800 || u > 0xDFFF);
}

void Text(const std::wstring& text) {
    std::wstring held;
    std::string heldBytes;
    for (wchar_t c : text) {
        const std::string one = ToCp949(std::wstring(1, c));
        if (FromCp949(one) == std::wstring(1, c)) {
            held.push_back(c);
            heldBytes += one;
        }
    }
    Check(ToCp949(held) == heldBytes, "a string encodes unlike its characters one by one",
          Shown(held));
    Check(FromCp949(heldBytes) == held, "text the code page holds does not decode back",
          Shown(held) + " -> " + Shown(heldBytes));

    std::wstring scalars;
    for (wchar_t c : text) {
        if (IsScalarValue(c)) {
            scalars.push_back(c);
        }
    }
    Check(FromUtf8(ToUtf8(scalars)) == scalars, "UTF-8 does not round trip", Shown(scalars));
}

}  // namespace
}  // namespace vt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vt::fuzz;
    const std::string_view bytes = AsBytes(data, size);
    Bytes(bytes);
    Text(Utf16Units(bytes));
    Text(vt::FromUtf8(bytes));
    return 0;
}
