#pragma once
// Content-set synchronisation: one algorithm for the sound, graphics and card sets, driven by
// five parameters, in named steps over the served manifest: vet every name, plan what to
// fetch, fetch the plan as one job, fold the records. An entry is fetched when its recorded
// version differs from the served one, when its installed file is missing, or (a signed patch)
// when the file has another size than its pin; what is installed is found with one listing of
// the set's folder. Every fetched file is staged, put in place of the installed file in one
// rename and recorded right after, so an interrupted run resumes where it stopped. In a signed
// patch the manifest and every entry must match their pins.

#include <cstdint>
#include <string>

#include "format/Sets.h"
#include "sets/SetHost.h"

namespace vt {

struct SetParameters {
    std::wstring section;       // e.g. "sound", "card2"
    std::wstring served;        // below PatchBaseUrl, ends in "/": "resource/sound/"
    std::wstring manifestName;  // e.g. "vtsound.ini"
    std::wstring installed;     // below AppDir, ends in "\": "resource\sound\"
    std::wstring entrySuffix;   // appended to an entry's name for its file (".dat" for cards)

    std::wstring Url(const std::wstring& encodedName) const;  // PatchBaseUrl + served + name
    std::wstring Folder() const;                              // AppDir + installed
};

// A set's parameters; URLs and folders are joined with the path strings when used.
SetParameters ParametersOf(const format::PatchSet& set);
SetParameters SoundSetParameters();
SetParameters GraphicsSetParameters();
SetParameters CardSetParameters(int16_t setNumber);

void SyncSet(SetHost& host, const SetParameters& set);

// Whether a file the set's local manifest records is missing from the set's folder, found with
// one listing of it: a set whose key is current then still needs a run.
bool RecordedFileMissing(const SetParameters& set);

void UpdateSoundSet(SetHost& host);
void UpdateGraphicsSet(SetHost& host);
void UpdateCardSet(SetHost& host, const int16_t& setNumber);

}  // namespace vt
