#pragma once
// Where a keyed launcher fetches from: the built-in host first, then the mirrors its profile
// lists. The mirrors of the last accepted profile are kept in the installation's vtgame.ini
// ([mirrors], written through the profile engine), so that the next run can ask them for the
// profile when the built-in host does not give it. A launcher without a key uses the built-in
// host alone: it could not tell a good mirror from a bad one.

#include <string>
#include <vector>

namespace vt {

// Each source's autopatch/ folder, ending in '/': PatchBaseUrl, then the mirrors the profile
// staged in TempDir lists (those that are no mirror URL left out).
std::vector<std::wstring> ServedSources();
// PatchBaseUrl, then the kept mirrors; a copy with any value that is no mirror URL counts as
// damaged and is not used.
std::vector<std::wstring> KeptSources();
// The staged profile's mirror values, as its [mirrors] keys give them, for KeepMirrors.
std::vector<std::string> ServedMirrorValues();
// Writes `values` as [mirrors] 1= to 8= of the installation's vtgame.ini (empty past the list),
// unless it holds them already.
void KeepMirrors(const std::vector<std::string>& values);

}  // namespace vt
