#include "patch/SignedProfile.h"

#include "format/Expiry.h"
#include "format/Serial.h"

namespace vt {
uint64_t SerialOf(std::string_view text) {
    const format::SerialReading reading = format::ReadSerial(text);
    return reading.form == format::SerialForm::Number ? reading.value : 0;
}

ProfileVerdict JudgeProfile(const SignedProfile& profile, const PatchPublicKey& key, int64_t nowUtc,
                            const LastAccepted& last) {
    if (!VerifyP256Signature(key, profile.bytes, profile.signature)) {
        return ProfileVerdict::BadSignature;
    }
    if (profile.expires) {
        const std::optional<int64_t> expires = ParseExpiry(*profile.expires);
        if (!expires || nowUtc >= *expires) {
            return ProfileVerdict::Expired;
        }
    }
    if (format::ReadSerial(profile.serial).form == format::SerialForm::TooLarge) {
        return ProfileVerdict::BadSerial;
    }
    const uint64_t serial = SerialOf(profile.serial);
    if (serial < last.serial) {
        return ProfileVerdict::Older;
    }
    // Serial 0 names no publish: profiles from before serials all share it.
    if (serial == last.serial && serial != 0 && last.sha256 &&
        Sha256Of(profile.bytes) != *last.sha256) {
        return ProfileVerdict::Replaced;
    }
    return ProfileVerdict::Accepted;
}

}  // namespace vt
