// Code page 949 read the way MultiByteToWideChar(949, 0, …) reads it on Windows (as measured
// under Wine; tests/base/Cp949_test.cpp holds the table both builds pass), with glibc's iconv
// "CP949" deciding which pairs the code page assigns. iconv alone reads a broken pair its own
// way: it keeps the byte after a lead byte, after some pairs loses the next byte too, so a lead
// byte before ':' or a line break would split a SvrList.dat line where Windows does not.
#include <errno.h>
#include <iconv.h>

#include <array>
#include <memory>
#include <stdexcept>

#include "base/Cp949.h"

namespace vt {
namespace {

// What a lead byte alone or a pair the code page does not assign reads as.
constexpr wchar_t kUnread = L'?';
constexpr unsigned char kFirstLead = 0x81;
constexpr unsigned char kLastLead = 0xFE;
// The two bytes that are neither ASCII nor lead bytes.
constexpr wchar_t kByte80 = 0x0080;
constexpr wchar_t kByteFF = 0xF8F7;
// The user-defined area: rows C9 and FE, trail bytes A1-FE, in private use from U+E000 on.
constexpr wchar_t kUserDefinedFirst = 0xE000;
constexpr unsigned char kUserTrailFirst = 0xA1;
constexpr unsigned char kUserTrailLast = 0xFE;
constexpr unsigned kUserRowSize = kUserTrailLast - kUserTrailFirst + 1;
constexpr wchar_t kUserDefinedEnd = kUserDefinedFirst + 2 * kUserRowSize;

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle Open(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv cannot convert between CP949 and WCHAR_T");
    }
    return IconvHandle(cd);
}

// The character of every lead byte followed by every byte but NUL, made once.
class PairTable {
  public:
    PairTable() {
        IconvHandle cd = Open("WCHAR_T", "CP949");
        for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
            for (unsigned trail = 1; trail <= 0xFF; ++trail) {
                table_[Index(lead, trail)] = Decode(static_cast<iconv_t>(cd.get()), lead, trail);
            }
        }
    }

    wchar_t Get(unsigned char lead, unsigned char trail) const {
        return table_[Index(lead, trail)];
    }

  private:
    static size_t Index(unsigned lead, unsigned trail) { return (lead - kFirstLead) * 256 + trail; }

    static wchar_t Decode(iconv_t cd, unsigned lead, unsigned trail) {
        if ((lead == 0xC9 || lead == 0xFE) && trail >= kUserTrailFirst && trail <= kUserTrailLast) {
            return static_cast<wchar_t>(kUserDefinedFirst + (lead == 0xFE ? kUserRowSize : 0) +
                                        (trail - kUserTrailFirst));
        }
        char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
        wchar_t out[2] = {};
        char* inPtr = in;
        size_t inLeft = sizeof in;
        char* outPtr = reinterpret_cast<char*>(out);
        size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        // One character from both bytes, or the pair is not the code page's.
        if (rc == static_cast<size_t>(-1) || inLeft != 0 || outLeft != sizeof(wchar_t)) {
            return kUnread;
        }
        return out[0];
    }

    std::array<wchar_t, (kLastLead - kFirstLead + 1) * 256> table_{};
};

const PairTable& Pairs() {
    static const PairTable table;
    return table;
}

// The bytes of a character that iconv does not write although the code page reads it back,
// or nothing.
std::string_view SpecialBytes(wchar_t c, char (&buffer)[2]) {
    if (c == kByte80 || c == kByteFF) {
        buffer[0] = static_cast<char>(c == kByte80 ? 0x80 : 0xFF);
        return {buffer, 1};
    }
    if (c >= kUserDefinedFirst && c < kUserDefinedEnd) {
        const unsigned offset = static_cast<unsigned>(c - kUserDefinedFirst);
        buffer[0] = static_cast<char>(offset < kUserRowSize ? 0xC9 : 0xFE);
        buffer[1] = static_cast<char>(kUserTrailFirst + offset % kUserRowSize);
        return {buffer, 2};
    }
    return {};
}

// Appends text converted by iconv, writing '?' for a character the code page lacks and going
// on, the way WideCharToMultiByte does without a default character of the caller's.
void AppendEncoded(iconv_t cd, std::wstring_view text, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char chunk[256];
    char* inPtr = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(wchar_t);
    while (inLeft > 0) {
        char* outPtr = chunk;
        size_t outLeft = sizeof chunk;
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(chunk, static_cast<size_t>(outPtr - chunk));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            out.push_back('?');
            const size_t skip = inLeft < sizeof(wchar_t) ? inLeft : sizeof(wchar_t);
            inPtr += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
}

}  // namespace

std::string ToCp949(std::wstring_view text) {
    thread_local IconvHandle cd = Open("CP949", "WCHAR_T");
    std::string out;
    out.reserve(text.size());
    size_t runStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char buffer[2];
        const std::string_view special = SpecialBytes(text[i], buffer);
        if (!special.empty()) {
            AppendEncoded(static_cast<iconv_t>(cd.get()), text.substr(runStart, i - runStart), out);
            out += special;
            runStart = i + 1;
        }
    }
    AppendEncoded(static_cast<iconv_t>(cd.get()), text.substr(runStart), out);
    return out;
}

std::wstring FromCp949(std::string_view bytes) {
    const PairTable& pairs = Pairs();
    std::wstring out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
        } else if (b == 0x80 || b == 0xFF) {
            out.push_back(b == 0x80 ? kByte80 : kByteFF);
        } else if (i + 1 < bytes.size() && bytes[i + 1] != '\0') {
            // The lead byte takes the next one, be it ':', CR or LF.
            out.push_back(pairs.Get(b, static_cast<unsigned char>(bytes[++i])));
        } else {
            out.push_back(kUnread);  // alone at the end or before NUL, which stays
        }
    }
    return out;
}

}  // namespace vt
