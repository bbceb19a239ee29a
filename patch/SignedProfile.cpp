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

JudgedKeys JudgeKeyedProfile(const SignedProfile& profile, const format::ProfileKeys& keys,
                             const PatchPublicKey& trusted, const format::FetchKeyList& fetch,
                             int64_t nowUtc, LastAccepted last, const KeptKeys& kept) {
    JudgedKeys judged;
    judged.root = trusted;
    if (keys.malformed || (!keys.list && keys.signer && *keys.signer != trusted)) {
        judged.verdict = ProfileVerdict::KeysMalformed;
        return judged;
    }
    if (!keys.list) {
        judged.verdict = JudgeProfile(profile, trusted, nowUtc, last);
        return judged;
    }
    judged.named = true;
    judged.chain = format::WalkKeyChain({*keys.list, trusted, nowUtc, kept.listSerial}, fetch);
    if (judged.chain.verdict != format::ChainVerdict::Accepted) {
        judged.verdict = ProfileVerdict::KeyList;
        return judged;
    }
    judged.root = judged.chain.root;
    const std::optional<P256PublicKey> verifier =
        format::ProfileVerifier(judged.chain.list, judged.root, keys.signer, nowUtc);
    if (!verifier) {
        judged.signer = keys.signer;
        judged.verdict = ProfileVerdict::SignerNotHeld;
        return judged;
    }
    if (*verifier != judged.root) {
        judged.signer = verifier;
    }
    const uint64_t counted =
        format::RevokedSerial(judged.chain.list, judged.root, last.serial, kept.signer);
    if (counted != last.serial) {
        judged.lowered = {last.serial, counted};
        last = {counted, std::nullopt};  // the hash belonged to the revoked key's profile
    }
    judged.verdict = JudgeProfile(profile, *verifier, nowUtc, last);
    return judged;
}

}  // namespace vt
