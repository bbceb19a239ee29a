#pragma once
// Texts the player reads that more than one part of the patch window shows.

#include "sets/SetHost.h"

namespace vt {

inline constexpr wchar_t kUpgradeFailedTitle[] = L"업그레이드 실패";
inline constexpr wchar_t kReconnectText[] = L"다시 접속하여 주십시오";
inline constexpr wchar_t kCheckingVersionState[] = L"버전체크중...";
inline constexpr wchar_t kDownloadingState[] = L"다운로드중...";

// The state label's text for each step of the run.
constexpr const wchar_t* StateText(RunState state) {
    return state == RunState::Downloading ? kDownloadingState : kCheckingVersionState;
}

}  // namespace vt
