// Code page 949 through glibc's iconv ("CP949" is the unified Hangul code of Windows).
#include <errno.h>
#include <iconv.h>

#include <memory>
#include <stdexcept>

#include "app/Cp949.h"

namespace vt {
namespace {

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

// Converts in-buffer to out, replacing an undecodable unit with `replacement` and going on,
// the way the Windows conversion does without MB_ERR_INVALID_CHARS.
template <typename Out>
Out Convert(iconv_t cd, const char* in, size_t inLeft, size_t unitSize,
            const typename Out::value_type replacement) {
    Out out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    typename Out::value_type chunk[256];
    char* inPtr = const_cast<char*>(in);
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(chunk);
        size_t outLeft = sizeof(chunk);
        size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(chunk, static_cast<size_t>(outPtr - reinterpret_cast<char*>(chunk)) /
                              sizeof(typename Out::value_type));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // EILSEQ or EINVAL (truncated sequence): skip one unit.
            out.push_back(replacement);
            size_t skip = inLeft < unitSize ? inLeft : unitSize;
            inPtr += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

std::string ToCp949(std::wstring_view text) {
    thread_local IconvHandle cd = Open("CP949", "WCHAR_T");
    return Convert<std::string>(static_cast<iconv_t>(cd.get()),
                                reinterpret_cast<const char*>(text.data()),
                                text.size() * sizeof(wchar_t), sizeof(wchar_t), '?');
}

std::wstring FromCp949(std::string_view bytes) {
    thread_local IconvHandle cd = Open("WCHAR_T", "CP949");
    return Convert<std::wstring>(static_cast<iconv_t>(cd.get()), bytes.data(), bytes.size(), 1,
                                 L'\u30FB');
}

}  // namespace vt
