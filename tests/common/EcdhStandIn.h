#pragma once
// Wine 8's CNG agrees an ECDH secret but derives nothing from it (BCryptDeriveKey answers
// STATUS_INTERNAL_ERROR). Where that is so, an instance stands in for the derivation of
// the raw secret, and only for it, at the import tables of this test program (where the
// product code is linked in) and of the modules named (the virtual token's winscard.dll):
// BCryptSecretAgreement still runs in CNG and its keys are remembered; BCryptDeriveKey
// with BCRYPT_KDF_RAW_SECRET on such a secret is answered by velkor-ecdh-helper, a Linux
// program built with the build machine's OpenSSL beside the tests, in CNG's byte order
// (little-endian). Where CNG derives (Windows), nothing is patched.
#include <windows.h>

#include <initializer_list>
#include <vector>

class CImportPatch;

class CEcdhStandIn
{
public:
    explicit CEcdhStandIn(std::initializer_list<const wchar_t*> otherModules = {});
    ~CEcdhStandIn();
    CEcdhStandIn(const CEcdhStandIn&) = delete;
    CEcdhStandIn& operator=(const CEcdhStandIn&) = delete;

    // CNG derives by itself, or every patch is in place and the helper is there.
    bool IsReady() const { return _fReady; }
    bool IsStandingIn() const { return !_patches.empty(); }
    // Derivations answered by the helper so far, in this process.
    static LONG Derivations();

private:
    bool _fReady = false;
    std::vector<CImportPatch*> _patches;
};
