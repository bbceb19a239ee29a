#pragma once
// The pool of WinINet connections the patch window fetches a set's payloads with.

#include <memory>
#include <string>
#include <vector>

#include "transfer/Pool.h"
#include "transfer/Transfer_win32.h"

namespace vt {

// `connections` as ConnectionsSetting reads it (1 to 16). Raises WinINet's limits of
// connections per server to it, so the workers' requests run side by side. `view` and
// `clock` are used on the caller's thread, the clock by the workers too. `sources` as
// PoolSettings::sources: the built-in base first, then the mirrors; empty, the files' URLs.
std::unique_ptr<Downloader> MakeInetDownloader(ProgressView& view, Clock& clock, int connections,
                                               InetSettings settings = {},
                                               SlowAnswerRule patience = {},
                                               std::vector<std::wstring> sources = {});

}  // namespace vt
