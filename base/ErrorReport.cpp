#include "base/ErrorReport.h"

#include <exception>
#include <new>

#include "base/AppError.h"
#include "base/EndProgram.h"
#include "base/Log.h"

namespace vt {
namespace {

void Report(MessageSink& sink, int32_t number, const std::wstring& description) {
    LogLine(L"error " + std::to_wstring(number) + L": " + description);
    sink.ShowMessage(L"오류 " + std::to_wstring(number) + L": " + description, L"",
                     MessageStyle::Plain);
    EndProgram();
}

}  // namespace

void RunHandler(MessageSink& sink, const std::function<void()>& handler) {
    try {
        handler();
    } catch (const AppError& e) {
        Report(sink, e.Number(), e.Description());
    } catch (const std::bad_alloc&) {
        Report(sink, 7, L"메모리가 부족합니다.");
    } catch (const std::exception& e) {
        std::string what = e.what();
        Report(sink, static_cast<int32_t>(ErrorNumber::InternalError),
               L"내부 오류: " + std::wstring(what.begin(), what.end()));
    }
}

}  // namespace vt
