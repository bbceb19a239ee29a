// Code page 949: well-formed bytes come back from FromCp949 then ToCp949; text made only of
// characters the code page holds comes back from ToCp949 then FromCp949; any bytes convert
// without a crash. UTF-8 round trips for text of Unicode scalar values ride along.
#include <string>

#include "app/Cp949.h"
#include "fuzz/FuzzSupport.h"

namespace vt::fuzz {
namespace {

// What FromCp949 puts for a byte it cannot read; no code page 949 character decodes to it.
constexpr wchar_t kReplacement = L'\u30FB';

// Character by character: ASCII, or a lead byte 81-FE with a trail byte 41-5A, 61-7A or
// 81-FE. Pairs of that shape the code page leaves unassigned fail later, in the decode.
bool IsWellFormed(std::string_view bytes, size_t& characters) {
    characters = 0;
    for (size_t i = 0; i < bytes.size(); ++characters) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b < 0x81 || b > 0xFE || i + 1 == bytes.size()) {
            return false;
        }
        auto t = static_cast<unsigned char>(bytes[i + 1]);
        if (!((t >= 0x41 && t <= 0x5A) || (t >= 0x61 && t <= 0x7A) || (t >= 0x81 && t <= 0xFE))) {
            return false;
        }
        i += 2;
    }
    return true;
}

// Whether every character was decoded: as many as the bytes hold, none replaced.
bool DecodedWhole(const std::wstring& text, size_t characters) {
    return text.size() == characters && text.find(kReplacement) == std::wstring::npos;
}

void Bytes(std::string_view bytes) {
    const std::wstring text = FromCp949(bytes);
    size_t characters = 0;
    if (IsWellFormed(bytes, characters) && DecodedWhole(text, characters)) {
        Check(ToCp949(text) == bytes, "decoded code page 949 does not encode back",
              Shown(bytes) + " -> " + Shown(text) + " -> " + Shown(ToCp949(text)));
    }
    // Whatever was read, the text survives another round, but for the replacement character,
    // which the code page does not hold.
    if (text.find(kReplacement) == std::wstring::npos) {
        Check(FromCp949(ToCp949(text)) == text, "decoded text does not survive a round trip",
              Shown(bytes) + " -> " + Shown(text));
    }
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
