#pragma once
// Content-set synchronisation: one algorithm for the sound, graphics and card sets, driven by
// six parameters. The remote manifest is staged in TempDir; every entry whose version differs
// from the local manifest is fetched (staged, then put in place of the installed file in one
// rename) and recorded right after it is in place, so an interrupted run resumes where it
// stopped. In a signed patch the manifest and every entry must match their pins.

#include <cstdint>
#include <string>

#include "format/Sets.h"
#include "sets/SetHost.h"

namespace vt {

struct SetParameters {
    std::wstring section;       // e.g. "sound", "card2"
    std::wstring remoteDir;     // URL prefix, ends in "/"
    std::wstring manifestName;  // e.g. "vtsound.ini"
    std::wstring localDir;      // ends in "\"
    std::wstring entrySuffix;   // appended to an entry's name for its file (".dat" for cards)
};

// A set's parameters for the installation and patch host of the path strings.
SetParameters ParametersOf(const format::PatchSet& set);
SetParameters SoundSetParameters();
SetParameters GraphicsSetParameters();
SetParameters CardSetParameters(int16_t setNumber);

void SyncSet(SetHost& host, const SetParameters& set);

void UpdateSoundSet(SetHost& host);
void UpdateGraphicsSet(SetHost& host);
void UpdateCardSet(SetHost& host, const int16_t& setNumber);

}  // namespace vt
