// The FIDO2 authenticator of the simulated token: the FIDO applet's APDUs and the
// authenticatorMakeCredential / authenticatorGetAssertion / authenticatorGetInfo /
// authenticatorClientPIN commands, with ES256 keys, ECDH, AES and HMAC through CNG. The
// CBOR is read and written with the product's own reader and writer; the PIN/UV auth
// protocols are written here a second time, apart from the product's, so that a fault on
// either side shows.
//
// Credentials live in their IDs, as on real tokens: nonce (16) || the key pair (X, Y, d)
// XOR a keystream || MAC (32), keystream and MAC being HMAC-SHA-256 under the token's
// device secret, the MAC also over the rpIdHash. Any process with the same secret can
// use a credential made in another one; a token with another secret cannot.
#include "VScardInternal.h"

#include <bcrypt.h>
#include <string.h>

#include "CborReader.h"
#include "CborWriter.h"
#include "EcdsaSignature.h"

namespace vscard {

namespace {

const BYTE kFidoAid[] = {0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01};
const BYTE kAaguid[16] = {'V', 'E', 'L', 'K', 'O', 'R', '-', 'V', 'S', 'C', 'A', 'R', 'D', 0x00, 0xFF, 0xFF};

const BYTE CTAP_OK = 0x00;
const BYTE CTAP_INVALID_COMMAND = 0x01;
const BYTE CTAP_INVALID_PARAMETER = 0x02;
const BYTE CTAP_INVALID_CBOR = 0x12;
const BYTE CTAP_MISSING_PARAMETER = 0x14;
const BYTE CTAP_UNSUPPORTED_ALGORITHM = 0x26;
const BYTE CTAP_INVALID_OPTION = 0x2C;
const BYTE CTAP_KEEPALIVE_CANCEL = 0x2D;
const BYTE CTAP_NO_CREDENTIALS = 0x2E;
const BYTE CTAP_PIN_INVALID = 0x31;
const BYTE CTAP_PIN_BLOCKED = 0x32;
const BYTE CTAP_PIN_AUTH_INVALID = 0x33;
const BYTE CTAP_PIN_AUTH_BLOCKED = 0x34;
const BYTE CTAP_PIN_NOT_SET = 0x35;
const BYTE CTAP_PIN_REQUIRED = 0x36;
const BYTE CTAP_INVALID_SUBCOMMAND = 0x3E;
const BYTE CTAP_OTHER = 0x7F;

const DWORD kPinRetriesMax = 8;
const DWORD kWrongPinsBeforePowerCycle = 3;
const DWORD kPermissionMakeCredential = 0x01;
const DWORD kPermissionGetAssertion = 0x02;

const size_t kNonceBytes = 16;
const size_t kKeyBytes = 96; // X, Y, d
const size_t kMacBytes = 32;
const size_t kCredentialIdBytes = kNonceBytes + kKeyBytes + kMacBytes;

typedef std::vector<BYTE> Bytes;

Bytes statusWord(WORD sw)
{
    Bytes out;
    out.push_back((BYTE)(sw >> 8));
    out.push_back((BYTE)sw);
    return out;
}

// ---- CNG ----------------------------------------------------------------------

class Algorithm {
public:
    Algorithm(LPCWSTR id, ULONG flags) { ok = BCryptOpenAlgorithmProvider(&handle, id, NULL, flags) == 0; }
    ~Algorithm()
    {
        if (ok)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    BCRYPT_ALG_HANDLE handle = NULL;
    bool ok = false;
};

class Key {
public:
    ~Key()
    {
        if (handle != NULL)
            BCryptDestroyKey(handle);
    }
    BCRYPT_KEY_HANDLE handle = NULL;
};

// SHA-256, or HMAC-SHA-256 with a key, over the concatenated parts.
bool hash(const Bytes* key, const Bytes& data, BYTE (&out)[32])
{
    Algorithm alg(BCRYPT_SHA256_ALGORITHM, key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
    BCRYPT_HASH_HANDLE h = NULL;
    if (!alg.ok || BCryptCreateHash(alg.handle, &h, NULL, 0, key ? (PUCHAR)&(*key)[0] : NULL,
                                    key ? (ULONG)key->size() : 0, 0) != 0)
        return false;
    bool done = BCryptHashData(h, data.empty() ? NULL : (PUCHAR)&data[0], (ULONG)data.size(), 0) == 0 &&
                BCryptFinishHash(h, out, 32, 0) == 0;
    BCryptDestroyHash(h);
    return done;
}

void append(Bytes& to, const BYTE* pb, size_t cb)
{
    to.insert(to.end(), pb, pb + cb);
}

void append(Bytes& to, const char* text)
{
    append(to, (const BYTE*)text, strlen(text));
}

Bytes deviceSecret(const Reader& r)
{
    if (!r.fido.secret.empty())
        return r.fido.secret;
    Bytes seed;
    append(seed, "velkor vscard device secret ");
    BYTE serial[4] = {(BYTE)(r.serial >> 24), (BYTE)(r.serial >> 16), (BYTE)(r.serial >> 8), (BYTE)r.serial};
    append(seed, serial, 4);
    BYTE out[32];
    hash(NULL, seed, out);
    return Bytes(out, out + 32);
}

bool keystream(const Bytes& secret, const BYTE* nonce, BYTE (&stream)[kKeyBytes])
{
    for (BYTE block = 0; block < kKeyBytes / 32; ++block) {
        Bytes input;
        append(input, "wrap ");
        append(input, nonce, kNonceBytes);
        input.push_back(block);
        BYTE out[32];
        if (!hash(&secret, input, out))
            return false;
        memcpy(stream + 32 * block, out, 32);
    }
    return true;
}

bool mac(const Bytes& secret, const BYTE* rpIdHash, const BYTE* nonceAndKey, BYTE (&out)[32])
{
    Bytes input;
    append(input, "auth ");
    append(input, rpIdHash, 32);
    append(input, nonceAndKey, kNonceBytes + kKeyBytes);
    return hash(&secret, input, out);
}

// A new P-256 key pair wrapped into a credential ID; its public X || Y in *publicKey.
bool makeCredentialId(const Bytes& secret, const BYTE* rpIdHash, Bytes* id, BYTE (&publicKey)[64])
{
    Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM, 0);
    Key key;
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kKeyBytes];
    ULONG cb = 0;
    if (!alg.ok || BCryptGenerateKeyPair(alg.handle, &key.handle, 256, 0) != 0 ||
        BCryptFinalizeKeyPair(key.handle, 0) != 0 ||
        BCryptExportKey(key.handle, NULL, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &cb, 0) != 0 ||
        cb != sizeof blob)
        return false;
    const BYTE* material = blob + sizeof(BCRYPT_ECCKEY_BLOB);
    memcpy(publicKey, material, 64);
    BYTE nonce[kNonceBytes];
    BYTE stream[kKeyBytes];
    if (BCryptGenRandom(NULL, nonce, sizeof nonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0 ||
        !keystream(secret, nonce, stream))
        return false;
    id->assign(nonce, nonce + kNonceBytes);
    for (size_t i = 0; i < kKeyBytes; ++i)
        id->push_back((BYTE)(material[i] ^ stream[i]));
    BYTE tag[32];
    if (!mac(secret, rpIdHash, &(*id)[0], tag))
        return false;
    append(*id, tag, kMacBytes);
    SecureZeroMemory(blob, sizeof blob);
    return true;
}

// The key material of a credential ID made by a token with this secret for this rpIdHash.
bool openCredentialId(const Bytes& secret, const BYTE* rpIdHash, const BYTE* id, size_t cbId, BYTE (&material)[kKeyBytes])
{
    BYTE tag[32];
    BYTE stream[kKeyBytes];
    if (cbId != kCredentialIdBytes || !mac(secret, rpIdHash, id, tag) ||
        memcmp(tag, id + kNonceBytes + kKeyBytes, kMacBytes) != 0 || !keystream(secret, id, stream))
        return false;
    for (size_t i = 0; i < kKeyBytes; ++i)
        material[i] = (BYTE)(id[kNonceBytes + i] ^ stream[i]);
    return true;
}

bool sign(const BYTE (&material)[kKeyBytes], const Bytes& message, BYTE (&signature)[64])
{
    BYTE digest[32];
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kKeyBytes];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    memcpy(blob, &header, sizeof header);
    memcpy(blob + sizeof header, material, kKeyBytes);
    Algorithm alg(BCRYPT_ECDSA_P256_ALGORITHM, 0);
    Key key;
    ULONG cb = 0;
    bool done = hash(NULL, message, digest) && alg.ok &&
                BCryptImportKeyPair(alg.handle, NULL, BCRYPT_ECCPRIVATE_BLOB, &key.handle, blob, sizeof blob, 0) == 0 &&
                BCryptSignHash(key.handle, NULL, digest, 32, signature, 64, &cb, 0) == 0 && cb == 64;
    SecureZeroMemory(blob, sizeof blob);
    return done;
}

// ---- clientPIN: ECDH, the shared secret, AES and HMAC ---------------------------------

bool isCtap21(const FidoToken& f)
{
    return f.version == "FIDO_2_1" || f.version == "FIDO_2_1_PRE";
}

// The PIN/UV auth protocols offered, in the order getInfo names them.
std::vector<DWORD> pinProtocols(const FidoToken& f)
{
    switch (f.knobs[VSCARD_FIDO_PIN_PROTOCOLS]) {
    case 1: return std::vector<DWORD>(1, 1);
    case 2: return std::vector<DWORD>(1, 2);
    case 3: { std::vector<DWORD> both; both.push_back(2); both.push_back(1); return both; }
    default: break;
    }
    std::vector<DWORD> offered;
    if (isCtap21(f))
        offered.push_back(2);
    offered.push_back(1);
    return offered;
}

bool offersProtocol(const FidoToken& f, DWORD protocol)
{
    const std::vector<DWORD> offered = pinProtocols(f);
    for (size_t i = 0; i < offered.size(); ++i) {
        if (offered[i] == protocol)
            return true;
    }
    return false;
}

// The key-agreement key of this power-up: a CNG private blob (header, X, Y, d).
bool ensureAgreementKey(FidoToken& f)
{
    if (!f.agreementKey.empty())
        return true;
    Algorithm alg(BCRYPT_ECDH_P256_ALGORITHM, 0);
    Key key;
    BYTE blob[sizeof(BCRYPT_ECCKEY_BLOB) + kKeyBytes];
    ULONG cb = 0;
    if (!alg.ok || BCryptGenerateKeyPair(alg.handle, &key.handle, 256, 0) != 0 ||
        BCryptFinalizeKeyPair(key.handle, 0) != 0 ||
        BCryptExportKey(key.handle, NULL, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &cb, 0) != 0 || cb != sizeof blob)
        return false;
    f.agreementKey.assign(blob, blob + sizeof blob);
    SecureZeroMemory(blob, sizeof blob);
    return true;
}

// Z: the x-coordinate of our d times the platform's point, big-endian.
bool agree(const FidoToken& f, const BYTE* peerX, const BYTE* peerY, BYTE (&z)[32])
{
    Algorithm alg(BCRYPT_ECDH_P256_ALGORITHM, 0);
    Key own, peer;
    BYTE peerBlob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    const BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32};
    memcpy(peerBlob, &header, sizeof header);
    memcpy(peerBlob + sizeof header, peerX, 32);
    memcpy(peerBlob + sizeof header + 32, peerY, 32);
    BCRYPT_SECRET_HANDLE secret = NULL;
    BYTE raw[32];
    ULONG cb = 0;
    const bool done =
        alg.ok && f.agreementKey.size() == sizeof(BCRYPT_ECCKEY_BLOB) + kKeyBytes &&
        BCryptImportKeyPair(alg.handle, NULL, BCRYPT_ECCPRIVATE_BLOB, &own.handle, (PUCHAR)&f.agreementKey[0],
                            (ULONG)f.agreementKey.size(), 0) == 0 &&
        BCryptImportKeyPair(alg.handle, NULL, BCRYPT_ECCPUBLIC_BLOB, &peer.handle, peerBlob, sizeof peerBlob, 0) == 0 &&
        BCryptSecretAgreement(own.handle, peer.handle, &secret, 0) == 0 &&
        BCryptDeriveKey(secret, BCRYPT_KDF_RAW_SECRET, NULL, raw, sizeof raw, &cb, 0) == 0 && cb == sizeof raw;
    if (secret != NULL)
        BCryptDestroySecret(secret);
    for (size_t i = 0; done && i < 32; ++i)
        z[i] = raw[31 - i]; // CNG hands the raw secret out little-endian
    SecureZeroMemory(raw, sizeof raw);
    return done;
}

// The shared secret of a protocol: 1: SHA-256(Z), the key for AES and HMAC; 2: the HMAC key
// then the AES key, each HKDF-SHA-256 of Z with 32 zero bytes of salt.
struct SharedSecret {
    DWORD protocol;
    BYTE hmacKey[32];
    BYTE aesKey[32];
    ~SharedSecret()
    {
        SecureZeroMemory(hmacKey, sizeof hmacKey);
        SecureZeroMemory(aesKey, sizeof aesKey);
    }
};

bool hkdf(const BYTE (&z)[32], const char* info, BYTE (&out)[32])
{
    const Bytes salt(32, 0);
    BYTE prk[32];
    Bytes expand;
    append(expand, info);
    expand.push_back(0x01);
    bool done = hash(&salt, Bytes(z, z + 32), prk);
    if (done) {
        const Bytes key(prk, prk + 32);
        done = hash(&key, expand, out);
    }
    SecureZeroMemory(prk, sizeof prk);
    return done;
}

bool deriveShared(DWORD protocol, const BYTE (&z)[32], SharedSecret* shared)
{
    shared->protocol = protocol;
    if (protocol == 1) {
        if (!hash(NULL, Bytes(z, z + 32), shared->hmacKey))
            return false;
        memcpy(shared->aesKey, shared->hmacKey, 32);
        return true;
    }
    return hkdf(z, "CTAP2 HMAC key", shared->hmacKey) && hkdf(z, "CTAP2 AES key", shared->aesKey);
}

bool aesCbc(bool encrypt, const BYTE* key, const BYTE* iv, const BYTE* in, size_t cb, BYTE* out)
{
    Algorithm alg(BCRYPT_AES_ALGORITHM, 0);
    Key k;
    BYTE chain[16];
    memcpy(chain, iv, 16);
    ULONG done = 0;
    Bytes buffer(in, in + cb);
    const bool ok =
        alg.ok && cb != 0 && cb % 16 == 0 &&
        BCryptSetProperty(alg.handle, BCRYPT_CHAINING_MODE, (PUCHAR)BCRYPT_CHAIN_MODE_CBC, sizeof(BCRYPT_CHAIN_MODE_CBC), 0) == 0 &&
        BCryptGenerateSymmetricKey(alg.handle, &k.handle, NULL, 0, (PUCHAR)key, 32, 0) == 0 &&
        (encrypt ? BCryptEncrypt(k.handle, &buffer[0], (ULONG)cb, NULL, chain, 16, out, (ULONG)cb, &done, 0)
                 : BCryptDecrypt(k.handle, &buffer[0], (ULONG)cb, NULL, chain, 16, out, (ULONG)cb, &done, 0)) == 0 &&
        done == cb;
    SecureZeroMemory(&buffer[0], buffer.size());
    return ok;
}

// decrypt(shared secret, ciphertext): under protocol 2 the IV comes first.
bool decryptShared(const SharedSecret& shared, const BYTE* in, size_t cb, Bytes* out)
{
    const BYTE zeroIv[16] = {};
    const size_t ivBytes = shared.protocol == 2 ? 16 : 0;
    if (cb <= ivBytes || (cb - ivBytes) % 16 != 0)
        return false;
    out->assign(cb - ivBytes, 0);
    return aesCbc(false, shared.aesKey, ivBytes ? in : zeroIv, in + ivBytes, cb - ivBytes, &(*out)[0]);
}

bool encryptShared(const SharedSecret& shared, const Bytes& in, Bytes* out)
{
    BYTE iv[16] = {};
    if (shared.protocol == 2 && BCryptGenRandom(NULL, iv, sizeof iv, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return false;
    const size_t ivBytes = shared.protocol == 2 ? 16 : 0;
    out->assign(iv, iv + ivBytes);
    out->resize(ivBytes + in.size());
    return aesCbc(true, shared.aesKey, iv, &in[0], in.size(), &(*out)[ivBytes]);
}

// authenticate(pinUvAuthToken, message): HMAC-SHA-256, its first 16 bytes under protocol 1.
Bytes authenticate(DWORD protocol, const Bytes& key, const BYTE* message, size_t cb)
{
    BYTE mac[32];
    if (!hash(&key, Bytes(message, message + cb), mac))
        return Bytes();
    return Bytes(mac, mac + (protocol == 1 ? 16 : 32));
}

// ---- counters -------------------------------------------------------------------

// Tenths of seconds since 2024-01-01 UTC: later processes start higher than earlier ones.
DWORD clockCount()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG now = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    const ULONGLONG since2024 = 133485408000000000ull;
    return now > since2024 ? (DWORD)((now - since2024) / 1000000) : 0;
}

DWORD nextCounter(FidoToken& f, const BYTE* nonce)
{
    if (f.knobs[VSCARD_FIDO_COUNTER_MODE] == VSCARD_COUNTER_ZERO)
        return 0;
    DWORD& last = f.knobs[VSCARD_FIDO_COUNTER_MODE] == VSCARD_COUNTER_GLOBAL
                      ? f.globalCounter
                      : f.credentialCounters[std::string((const char*)nonce, kNonceBytes)];
    const DWORD start = f.knobs[VSCARD_FIDO_COUNTER_START];
    const DWORD floor = start == VSCARD_COUNTER_CLOCK ? clockCount() : start + 1;
    last = last + 1 > floor ? last + 1 : floor;
    const DWORD lag = f.knobs[VSCARD_FIDO_COUNTER_LAG];
    return last > lag ? last - lag : 0;
}

// ---- CTAP commands -----------------------------------------------------------------

void putCounter(Bytes& authData, DWORD counter)
{
    authData.push_back((BYTE)(counter >> 24));
    authData.push_back((BYTE)(counter >> 16));
    authData.push_back((BYTE)(counter >> 8));
    authData.push_back((BYTE)counter);
}

bool rpIdHashOf(const char* rpId, size_t cch, BYTE (&out)[32])
{
    return hash(NULL, Bytes(rpId, rpId + cch), out);
}

// The answer: status 00 and the CBOR written by `write`, or CTAP_OTHER if it did not fit.
template <typename Write> Bytes answerOf(Write write)
{
    Bytes out(2048);
    out[0] = CTAP_OK;
    CCborWriter writer(&out[1], out.size() - 1);
    write(writer);
    if (writer.Failed())
        return Bytes(1, CTAP_OTHER);
    out.resize(1 + writer.Length());
    return out;
}

void damage(Bytes& answer, DWORD how, size_t authDataEnd, size_t signatureEnd)
{
    switch (how) {
    case VSCARD_DAMAGE_CUT: answer.pop_back(); break;
    case VSCARD_DAMAGE_TRAILING: answer.push_back(0x00); break;
    case VSCARD_DAMAGE_AUTH_DATA_BIT: answer[authDataEnd - 1] ^= 0x01; break;
    case VSCARD_DAMAGE_SIGNATURE_BIT:
        if (signatureEnd != 0)
            answer[signatureEnd - 1] ^= 0x01;
        break;
    default: break;
    }
}

// Where a byte string sits in an answer, found after writing it.
size_t endOf(const Bytes& answer, const Bytes& bytes)
{
    for (size_t i = answer.size(); i >= bytes.size() && i > 0; --i) {
        if (memcmp(&answer[i - bytes.size()], &bytes[0], bytes.size()) == 0)
            return i;
    }
    return 0;
}

// pinUvAuthParam and pinUvAuthProtocol of a makeCredential (8, 9) or getAssertion (6, 7).
struct PinUvAuth {
    const BYTE* param = NULL;
    size_t cbParam = 0;
    bool hasProtocol = false;
    uint64_t protocol = 0;

    bool read(CCborReader& request, int64_t key, int64_t paramKey, int64_t protocolKey)
    {
        if (key == paramKey)
            return request.ReadBytes(&param, &cbParam);
        if (key == protocolKey)
            return hasProtocol = request.ReadUnsigned(&protocol);
        return false;
    }
};

// Whether the request may go on as far as the PIN goes: without pinUvAuthParam only when no
// PIN is needed; with it only when it authenticates the client data hash with this power-up's
// pinUvAuthToken, under its protocol, with the permission and for the rp ID it was given for.
BYTE checkPinUvAuth(const FidoToken& f, const PinUvAuth& auth, const BYTE* clientDataHash, const std::string& rpId,
                    DWORD permission, bool makingCredential, bool* verified)
{
    *verified = false;
    if (auth.param == NULL) {
        if (f.knobs[VSCARD_FIDO_ALWAYS_UV])
            return CTAP_PIN_REQUIRED;
        if (makingCredential && !f.pin.empty() && !f.knobs[VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD])
            return CTAP_PIN_REQUIRED;
        return CTAP_OK;
    }
    if (!auth.hasProtocol)
        return CTAP_MISSING_PARAMETER;
    if (!offersProtocol(f, (DWORD)auth.protocol))
        return CTAP_INVALID_PARAMETER;
    if (f.pin.empty())
        return CTAP_PIN_NOT_SET;
    if (f.pinToken.empty() || auth.protocol != f.pinTokenProtocol)
        return CTAP_PIN_AUTH_INVALID;
    const Bytes expected = authenticate((DWORD)auth.protocol, f.pinToken, clientDataHash, 32);
    if (expected.empty() || expected.size() != auth.cbParam || memcmp(&expected[0], auth.param, auth.cbParam) != 0 ||
        (f.pinTokenPermissions & permission) == 0 || (!f.pinTokenRpId.empty() && f.pinTokenRpId != rpId))
        return CTAP_PIN_AUTH_INVALID;
    *verified = true;
    return CTAP_OK;
}

Bytes makeCredential(Reader& r, CCborReader& request)
{
    FidoToken& f = r.fido;
    size_t entries;
    const BYTE* clientDataHash = NULL;
    size_t cbHash = 0;
    const char* rpId = NULL;
    size_t cchRpId = 0;
    bool user = false;
    bool es256 = false;
    PinUvAuth auth;
    if (!request.ReadMapHeader(&entries))
        return Bytes(1, CTAP_INVALID_CBOR);
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        size_t count;
        if (!request.ReadInteger(&key))
            return Bytes(1, CTAP_INVALID_CBOR);
        if (key == 1 && request.ReadBytes(&clientDataHash, &cbHash))
            continue;
        if (auth.read(request, key, 8, 9))
            continue;
        if (key == 2 && request.ReadMapHeader(&count)) {
            for (size_t k = 0; k < count; ++k) {
                if (request.ReadTextIf("id") ? !request.ReadText(&rpId, &cchRpId) && !request.SkipItem()
                                             : !request.SkipItem() || !request.SkipItem())
                    return Bytes(1, CTAP_INVALID_CBOR);
            }
            continue;
        }
        if (key == 4 && request.ReadArrayHeader(&count)) {
            for (size_t k = 0; k < count; ++k) {
                size_t fields;
                int64_t alg = 0;
                bool publicKey = false;
                if (!request.ReadMapHeader(&fields))
                    return Bytes(1, CTAP_INVALID_CBOR);
                for (size_t m = 0; m < fields; ++m) {
                    bool read;
                    if (request.ReadTextIf("alg"))
                        read = request.ReadInteger(&alg) || request.SkipItem();
                    else if (request.ReadTextIf("type"))
                        read = (publicKey = request.ReadTextIf("public-key")) || request.SkipItem();
                    else
                        read = request.SkipItem() && request.SkipItem();
                    if (!read)
                        return Bytes(1, CTAP_INVALID_CBOR);
                }
                es256 = es256 || (publicKey && alg == -7);
            }
            continue;
        }
        user = user || key == 3;
        if (!request.SkipItem())
            return Bytes(1, CTAP_INVALID_CBOR);
    }
    if (clientDataHash == NULL || cbHash != 32 || rpId == NULL || !user)
        return Bytes(1, CTAP_MISSING_PARAMETER);
    if (!es256)
        return Bytes(1, CTAP_UNSUPPORTED_ALGORITHM);
    if (f.knobs[VSCARD_FIDO_PIN_REQUIRED])
        return Bytes(1, CTAP_PIN_REQUIRED);
    bool verified = false;
    const BYTE pinCheck = checkPinUvAuth(f, auth, clientDataHash, std::string(rpId, cchRpId), kPermissionMakeCredential,
                                         true, &verified);
    if (pinCheck != CTAP_OK)
        return Bytes(1, pinCheck);

    BYTE rpIdHash[32];
    Bytes id;
    BYTE publicKey[64];
    if (!rpIdHashOf(rpId, cchRpId, rpIdHash) || !makeCredentialId(deviceSecret(r), rpIdHash, &id, publicKey))
        return Bytes(1, CTAP_OTHER);
    Bytes authData(rpIdHash, rpIdHash + 32);
    authData.push_back(verified ? 0x45 : 0x41); // UP, AT, and UV after the PIN
    putCounter(authData, nextCounter(f, &id[0]));
    append(authData, kAaguid, sizeof kAaguid);
    authData.push_back((BYTE)(id.size() >> 8));
    authData.push_back((BYTE)id.size());
    append(authData, &id[0], id.size());
    BYTE cose[80];
    CCborWriter key(cose, sizeof cose);
    key.WriteMapHeader(5);
    key.WriteInteger(1);
    key.WriteInteger(2);
    key.WriteInteger(3);
    key.WriteInteger(-7);
    key.WriteInteger(-1);
    key.WriteInteger(1);
    key.WriteInteger(-2);
    key.WriteBytes(publicKey, 32);
    key.WriteInteger(-3);
    key.WriteBytes(publicKey + 32, 32);
    append(authData, cose, key.Length());

    Bytes answer = answerOf([&](CCborWriter& w) {
        w.WriteMapHeader(3);
        w.WriteUnsigned(1);
        w.WriteText("none");
        w.WriteUnsigned(2);
        w.WriteBytes(&authData[0], authData.size());
        w.WriteUnsigned(3);
        w.WriteMapHeader(0);
    });
    if (answer.size() > 1)
        damage(answer, f.knobs[VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL], endOf(answer, authData), 0);
    // A CTAP 2.1 token's permissions are used up by the credential they made.
    if (verified && isCtap21(f))
        f.pinTokenPermissions &= ~(kPermissionMakeCredential | kPermissionGetAssertion);
    return answer;
}

Bytes getAssertion(Reader& r, CCborReader& request)
{
    FidoToken& f = r.fido;
    size_t entries;
    const char* rpId = NULL;
    size_t cchRpId = 0;
    const BYTE* clientDataHash = NULL;
    size_t cbHash = 0;
    std::vector<std::pair<const BYTE*, size_t> > allowed;
    bool userPresence = true;
    PinUvAuth auth;
    if (!request.ReadMapHeader(&entries))
        return Bytes(1, CTAP_INVALID_CBOR);
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        size_t count;
        if (!request.ReadInteger(&key))
            return Bytes(1, CTAP_INVALID_CBOR);
        if (auth.read(request, key, 6, 7))
            continue;
        if (key == 1 && request.ReadText(&rpId, &cchRpId))
            continue;
        if (key == 2 && request.ReadBytes(&clientDataHash, &cbHash))
            continue;
        if (key == 3 && request.ReadArrayHeader(&count)) {
            for (size_t k = 0; k < count; ++k) {
                size_t fields;
                const BYTE* id = NULL;
                size_t cbId = 0;
                bool publicKey = false;
                if (!request.ReadMapHeader(&fields))
                    return Bytes(1, CTAP_INVALID_CBOR);
                for (size_t m = 0; m < fields; ++m) {
                    bool read;
                    if (request.ReadTextIf("id"))
                        read = request.ReadBytes(&id, &cbId) || request.SkipItem();
                    else if (request.ReadTextIf("type"))
                        read = (publicKey = request.ReadTextIf("public-key")) || request.SkipItem();
                    else
                        read = request.SkipItem() && request.SkipItem();
                    if (!read)
                        return Bytes(1, CTAP_INVALID_CBOR);
                }
                if (publicKey && id != NULL)
                    allowed.push_back(std::make_pair(id, cbId));
            }
            continue;
        }
        if (key == 5 && request.ReadMapHeader(&count)) {
            for (size_t k = 0; k < count; ++k) {
                bool read;
                if (request.ReadTextIf("up"))
                    read = request.ReadBoolean(&userPresence) || request.SkipItem();
                else
                    read = request.SkipItem() && request.SkipItem();
                if (!read)
                    return Bytes(1, CTAP_INVALID_CBOR);
            }
            continue;
        }
        if (!request.SkipItem())
            return Bytes(1, CTAP_INVALID_CBOR);
    }
    if (rpId == NULL || clientDataHash == NULL || cbHash != 32)
        return Bytes(1, CTAP_MISSING_PARAMETER);
    if (!userPresence && f.knobs[VSCARD_FIDO_REFUSE_SILENT])
        return Bytes(1, CTAP_INVALID_OPTION);
    bool verified = false;
    const BYTE pinCheck = checkPinUvAuth(f, auth, clientDataHash, std::string(rpId, cchRpId), kPermissionGetAssertion,
                                         false, &verified);
    if (pinCheck != CTAP_OK)
        return Bytes(1, pinCheck);

    BYTE rpIdHash[32];
    if (!rpIdHashOf(rpId, cchRpId, rpIdHash))
        return Bytes(1, CTAP_OTHER);
    const Bytes secret = deviceSecret(r);
    BYTE material[kKeyBytes];
    const BYTE* id = NULL;
    size_t cbId = 0;
    for (size_t k = 0; k < allowed.size() && id == NULL; ++k) {
        if (openCredentialId(secret, rpIdHash, allowed[k].first, allowed[k].second, material)) {
            id = allowed[k].first;
            cbId = allowed[k].second;
        }
    }
    if (id == NULL)
        return Bytes(1, CTAP_NO_CREDENTIALS);

    Bytes authData(rpIdHash, rpIdHash + 32);
    authData.push_back((BYTE)((userPresence ? 0x01 : 0x00) | (verified ? 0x04 : 0x00)));
    putCounter(authData, nextCounter(f, id));
    Bytes signed_ = authData;
    append(signed_, clientDataHash, 32);
    BYTE raw[64];
    BYTE der[ECDSA_P256_DER_MAX_BYTES];
    const bool signedOk = sign(material, signed_, raw);
    SecureZeroMemory(material, sizeof material);
    const size_t cbDer = signedOk ? EncodeDerSignature(raw, der, sizeof der) : 0;
    if (cbDer == 0)
        return Bytes(1, CTAP_OTHER);

    Bytes answer = answerOf([&](CCborWriter& w) {
        w.WriteMapHeader(3);
        w.WriteUnsigned(1);
        w.WriteMapHeader(2);
        w.WriteText("id");
        w.WriteBytes(id, cbId);
        w.WriteText("type");
        w.WriteText("public-key");
        w.WriteUnsigned(2);
        w.WriteBytes(&authData[0], authData.size());
        w.WriteUnsigned(3);
        w.WriteBytes(der, cbDer);
    });
    if (answer.size() > 1)
        damage(answer, f.knobs[VSCARD_FIDO_DAMAGE_GET_ASSERTION], endOf(answer, authData),
               endOf(answer, Bytes(der, der + cbDer)));
    return answer;
}

Bytes getInfo(const FidoToken& f)
{
    const bool ctap21 = isCtap21(f);
    const bool alwaysUv = f.knobs[VSCARD_FIDO_ALWAYS_UV] != 0;
    const bool uvNotRequired = f.knobs[VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD] != 0;
    const std::vector<DWORD> protocols = pinProtocols(f);
    return answerOf([&](CCborWriter& w) {
        w.WriteMapHeader(5);
        w.WriteUnsigned(1);
        if (f.version == "U2F_V2") {
            w.WriteArrayHeader(2);
            w.WriteText("U2F_V2");
            w.WriteText("FIDO_2_0");
        } else if (ctap21) {
            w.WriteArrayHeader(2);
            w.WriteText("FIDO_2_0");
            w.WriteText(f.version.c_str());
        } else {
            w.WriteArrayHeader(1);
            w.WriteText("FIDO_2_0");
        }
        w.WriteUnsigned(3);
        w.WriteBytes(kAaguid, sizeof kAaguid);
        // Options in canonical order: shorter names first.
        w.WriteUnsigned(4);
        w.WriteMapHeader(3 + (alwaysUv ? 1 : 0) + (ctap21 ? 1 : 0) + (uvNotRequired ? 1 : 0));
        w.WriteText("rk");
        w.WriteBoolean(false);
        w.WriteText("up");
        w.WriteBoolean(true);
        if (alwaysUv) {
            w.WriteText("alwaysUv");
            w.WriteBoolean(true);
        }
        w.WriteText("clientPin");
        w.WriteBoolean(!f.pin.empty());
        if (ctap21) {
            w.WriteText("pinUvAuthToken");
            w.WriteBoolean(true);
        }
        if (uvNotRequired) {
            w.WriteText("makeCredUvNotRqd");
            w.WriteBoolean(true);
        }
        w.WriteUnsigned(5);
        w.WriteUnsigned(1200);
        w.WriteUnsigned(6);
        w.WriteArrayHeader(protocols.size());
        for (size_t i = 0; i < protocols.size(); ++i)
            w.WriteUnsigned(protocols[i]);
    });
}

// The platform's COSE key: x and y out of {1: 2, 3: -25, -1: 1, -2: x, -3: y}.
bool readPlatformKey(CCborReader& request, const BYTE** x, const BYTE** y)
{
    size_t fields;
    if (!request.ReadMapHeader(&fields))
        return false;
    for (size_t m = 0; m < fields; ++m) {
        int64_t key, value;
        const BYTE* coordinate = NULL;
        size_t cb = 0;
        if (!request.ReadInteger(&key))
            return false;
        if (key == -2 || key == -3) {
            if (!request.ReadBytes(&coordinate, &cb) || cb != 32)
                return false;
            *(key == -2 ? x : y) = coordinate;
        } else if (!request.ReadInteger(&value) && !request.SkipItem()) {
            return false;
        }
    }
    return *x != NULL && *y != NULL;
}

Bytes clientPin(FidoToken& f, CCborReader& request)
{
    size_t entries;
    uint64_t protocol = 0, subCommand = 0, permissions = 0;
    bool hasProtocol = false, hasSubCommand = false, hasPermissions = false;
    const BYTE* platformX = NULL;
    const BYTE* platformY = NULL;
    const BYTE* pinHashEnc = NULL;
    size_t cbPinHashEnc = 0;
    const char* rpId = NULL;
    size_t cchRpId = 0;
    if (!request.ReadMapHeader(&entries))
        return Bytes(1, CTAP_INVALID_CBOR);
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        bool read;
        if (!request.ReadInteger(&key))
            return Bytes(1, CTAP_INVALID_CBOR);
        switch (key) {
        case 1: read = hasProtocol = request.ReadUnsigned(&protocol); break;
        case 2: read = hasSubCommand = request.ReadUnsigned(&subCommand); break;
        case 3: read = readPlatformKey(request, &platformX, &platformY); break;
        case 6: read = request.ReadBytes(&pinHashEnc, &cbPinHashEnc); break;
        case 9: read = hasPermissions = request.ReadUnsigned(&permissions); break;
        case 10: read = request.ReadText(&rpId, &cchRpId); break;
        default: read = request.SkipItem(); break;
        }
        if (!read)
            return Bytes(1, CTAP_INVALID_CBOR);
    }
    if (!hasSubCommand)
        return Bytes(1, CTAP_MISSING_PARAMETER);
    if (hasProtocol && !offersProtocol(f, (DWORD)protocol))
        return Bytes(1, CTAP_INVALID_PARAMETER);
    DWORD& retries = f.knobs[VSCARD_FIDO_PIN_RETRIES];
    switch (subCommand) {
    case 0x01: // getPINRetries
        return answerOf([&](CCborWriter& w) {
            w.WriteMapHeader(isCtap21(f) ? 2 : 1);
            w.WriteUnsigned(3);
            w.WriteUnsigned(retries);
            if (isCtap21(f)) {
                w.WriteUnsigned(4);
                w.WriteBoolean(f.wrongPinsInARow >= kWrongPinsBeforePowerCycle);
            }
        });
    case 0x02: { // getKeyAgreement
        if (!hasProtocol)
            return Bytes(1, CTAP_MISSING_PARAMETER);
        if (!ensureAgreementKey(f))
            return Bytes(1, CTAP_OTHER);
        const BYTE* xy = &f.agreementKey[sizeof(BCRYPT_ECCKEY_BLOB)];
        return answerOf([&](CCborWriter& w) {
            w.WriteMapHeader(1);
            w.WriteUnsigned(1);
            w.WriteMapHeader(5);
            w.WriteInteger(1);
            w.WriteInteger(2);
            w.WriteInteger(3);
            w.WriteInteger(-25);
            w.WriteInteger(-1);
            w.WriteInteger(1);
            w.WriteInteger(-2);
            w.WriteBytes(xy, 32);
            w.WriteInteger(-3);
            w.WriteBytes(xy + 32, 32);
        });
    }
    case 0x05: // getPinToken
    case 0x09: // getPinUvAuthTokenUsingPinWithPermissions
        break;
    default:
        return Bytes(1, CTAP_INVALID_SUBCOMMAND);
    }
    if (subCommand == 0x09 && !isCtap21(f))
        return Bytes(1, CTAP_INVALID_SUBCOMMAND);
    if (!hasProtocol || platformX == NULL || pinHashEnc == NULL || (subCommand == 0x09 && (!hasPermissions || permissions == 0)))
        return Bytes(1, CTAP_MISSING_PARAMETER);
    if (subCommand == 0x09 && (permissions & (kPermissionMakeCredential | kPermissionGetAssertion)) != 0 && rpId == NULL)
        return Bytes(1, CTAP_MISSING_PARAMETER);
    if (f.pin.empty())
        return Bytes(1, CTAP_PIN_NOT_SET);
    if (retries == 0)
        return Bytes(1, CTAP_PIN_BLOCKED);
    if (f.wrongPinsInARow >= kWrongPinsBeforePowerCycle)
        return Bytes(1, CTAP_PIN_AUTH_BLOCKED);
    BYTE z[32];
    SharedSecret shared;
    const bool agreed = ensureAgreementKey(f) && agree(f, platformX, platformY, z) && deriveShared((DWORD)protocol, z, &shared);
    SecureZeroMemory(z, sizeof z);
    if (!agreed)
        return Bytes(1, CTAP_OTHER);
    --retries;
    Bytes pinHash;
    BYTE expected[32];
    const bool matches = decryptShared(shared, pinHashEnc, cbPinHashEnc, &pinHash) && pinHash.size() == 16 &&
                         hash(NULL, Bytes(f.pin.begin(), f.pin.end()), expected) && memcmp(&pinHash[0], expected, 16) == 0;
    SecureZeroMemory(expected, sizeof expected);
    if (!pinHash.empty())
        SecureZeroMemory(&pinHash[0], pinHash.size());
    if (!matches) {
        // A new key agreement after every wrong PIN, as real keys do.
        SecureZeroMemory(&f.agreementKey[0], f.agreementKey.size());
        f.agreementKey.clear();
        ++f.wrongPinsInARow;
        if (retries == 0)
            return Bytes(1, CTAP_PIN_BLOCKED);
        if (f.wrongPinsInARow >= kWrongPinsBeforePowerCycle)
            return Bytes(1, CTAP_PIN_AUTH_BLOCKED);
        return Bytes(1, CTAP_PIN_INVALID);
    }
    retries = kPinRetriesMax;
    f.wrongPinsInARow = 0;
    f.pinToken.assign(32, 0);
    if (BCryptGenRandom(NULL, &f.pinToken[0], 32, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        return Bytes(1, CTAP_OTHER);
    f.pinTokenProtocol = (DWORD)protocol;
    f.pinTokenPermissions = subCommand == 0x05 ? (kPermissionMakeCredential | kPermissionGetAssertion) : (DWORD)permissions;
    f.pinTokenRpId = subCommand == 0x09 && rpId != NULL ? std::string(rpId, cchRpId) : std::string();
    Bytes encrypted;
    if (!encryptShared(shared, f.pinToken, &encrypted))
        return Bytes(1, CTAP_OTHER);
    return answerOf([&](CCborWriter& w) {
        w.WriteMapHeader(1);
        w.WriteUnsigned(2);
        w.WriteBytes(&encrypted[0], encrypted.size());
    });
}

// One CTAP message: command byte, then canonical CBOR.
Bytes ctapCommand(Reader& r, const Bytes& message, DWORD* delayMs, bool* makingCredential)
{
    *makingCredential = false;
    if (message.empty())
        return Bytes(1, CTAP_INVALID_COMMAND);
    size_t cbItem;
    const BYTE* body = message.size() > 1 ? &message[1] : NULL;
    const size_t cbBody = message.size() - 1;
    const BYTE command = message[0];
    if (command == 0x04)
        return body == NULL ? getInfo(r.fido) : Bytes(1, CTAP_INVALID_PARAMETER);
    if (command != 0x01 && command != 0x02 && command != 0x06)
        return Bytes(1, CTAP_INVALID_COMMAND);
    if (body == NULL || !CheckCanonicalCbor(body, cbBody, &cbItem) || cbItem != cbBody)
        return Bytes(1, CTAP_INVALID_CBOR);
    CCborReader request(body, cbBody);
    if (command == 0x06)
        return clientPin(r.fido, request);
    if (command == 0x01) {
        *makingCredential = true;
        *delayMs = r.fido.knobs[VSCARD_FIDO_TOUCH_DELAY_MS];
        return makeCredential(r, request);
    }
    *delayMs = r.fido.knobs[VSCARD_FIDO_ASSERTION_DELAY_MS];
    return getAssertion(r, request);
}

// ---- APDU level ----------------------------------------------------------------------

size_t chunkSize(const FidoToken& f)
{
    const DWORD chunk = f.knobs[VSCARD_FIDO_CHUNK];
    return chunk == 0 || chunk > 256 ? 256 : chunk;
}

// The next transmit's worth of f.pending with 61 xx or 90 00 behind it.
Bytes nextPart(FidoToken& f, size_t limit)
{
    const size_t chunk = chunkSize(f);
    const size_t n = f.pending.size() < limit ? f.pending.size() : limit;
    Bytes out(f.pending.begin(), f.pending.begin() + (std::ptrdiff_t)n);
    f.pending.erase(f.pending.begin(), f.pending.begin() + (std::ptrdiff_t)n);
    if (f.pending.empty()) {
        out.push_back(0x90);
        out.push_back(0x00);
    } else {
        const size_t next = f.pending.size() < chunk ? f.pending.size() : chunk;
        out.push_back(0x61);
        out.push_back((BYTE)(next == 256 ? 0 : next));
    }
    return out;
}

Bytes deliver(FidoToken& f, const Bytes& data)
{
    f.pending = data;
    return nextPart(f, chunkSize(f));
}

Bytes statusUpdate(BYTE status)
{
    Bytes out(1, status);
    out.push_back(0x91);
    out.push_back(0x00);
    return out;
}

bool isFidoSelect(const BYTE* command, DWORD length)
{
    return (length == 13 || (length == 14 && command[13] == 0x00)) && command[0] == 0x00 && command[1] == 0xA4 &&
           command[2] == 0x04 && command[3] == 0x00 && command[4] == sizeof kFidoAid &&
           memcmp(command + 5, kFidoAid, sizeof kFidoAid) == 0;
}

Bytes nfcctapMessage(Reader& r, const BYTE* command, DWORD length, DWORD* delayMs)
{
    FidoToken& f = r.fido;
    const DWORD lc = command[4];
    if (lc == 0 || (length != 5 + lc && !(length == 6 + lc && command[length - 1] == 0x00)))
        return statusWord(0x6700);
    append(f.chain, command + 5, lc);
    f.withheld.clear();
    f.pending.clear();
    if (command[0] == 0x90)
        return statusWord(0x9000);
    const CtapOutcome outcome = authenticatorMessage(r, f.chain);
    f.chain.clear();
    *delayMs = outcome.delayMs;
    const Bytes& answer = outcome.answer;
    const DWORD polls = f.knobs[VSCARD_FIDO_TOUCH_POLLS];
    if (outcome.makingCredential && polls != 0 && (command[2] & 0x80) != 0) {
        f.withheld = answer;
        f.pollsLeft = polls;
        *delayMs = 0; // the polls stand for the wait
        return statusUpdate(0x01);
    }
    return deliver(f, answer);
}

} // namespace

CtapOutcome authenticatorMessage(Reader& token, const std::vector<BYTE>& message)
{
    CtapOutcome outcome;
    outcome.answer = ctapCommand(token, message, &outcome.delayMs, &outcome.makingCredential);
    return outcome;
}

FidoToken::FidoToken()
{
    knobs[VSCARD_FIDO_CHUNK] = 256;
    knobs[VSCARD_FIDO_COUNTER_START] = VSCARD_COUNTER_CLOCK;
    knobs[VSCARD_FIDO_PIN_RETRIES] = kPinRetriesMax;
}

void FidoToken::powerCycle()
{
    wrongPinsInARow = 0;
    if (!agreementKey.empty())
        SecureZeroMemory(&agreementKey[0], agreementKey.size());
    agreementKey.clear();
    if (!pinToken.empty())
        SecureZeroMemory(&pinToken[0], pinToken.size());
    pinToken.clear();
    pinTokenProtocol = 0;
    pinTokenPermissions = 0;
    pinTokenRpId.clear();
}

void FidoToken::resetSession()
{
    selected = false;
    chain.clear();
    pending.clear();
    withheld.clear();
    pollsLeft = 0;
}

bool fidoAnswer(Reader& r, const BYTE* command, DWORD length, std::vector<BYTE>* answer, DWORD* delayMs)
{
    FidoToken& f = r.fido;
    if (isFidoSelect(command, length)) {
        f.resetSession();
        if (f.knobs[VSCARD_FIDO_ABSENT] != 0) {
            *answer = statusWord((WORD)f.knobs[VSCARD_FIDO_ABSENT]);
            return true;
        }
        f.selected = true;
        *answer = deliver(f, Bytes(f.version.begin(), f.version.end()));
        return true;
    }
    if (!f.selected || length < 4)
        return false;
    const BYTE cla = command[0];
    const BYTE ins = command[1];
    if (ins == 0xC0 && (cla == 0x80 || cla == 0x00) && command[2] == 0 && command[3] == 0 && length <= 5) {
        if (f.knobs[VSCARD_FIDO_ENDLESS_MORE_DATA])
            *answer = statusWord(0x6110);
        else if (cla == 0x80 && f.knobs[VSCARD_FIDO_REFUSE_GET_RESPONSE_80])
            *answer = statusWord(0x6E00);
        else if (f.pending.empty())
            *answer = statusWord(0x6985);
        else {
            const size_t le = length == 5 && command[4] != 0 ? command[4] : 256;
            *answer = nextPart(f, le < chunkSize(f) ? le : chunkSize(f));
        }
        return true;
    }
    if (ins == 0x10 && (cla == 0x80 || cla == 0x90) && length >= 5) {
        if (f.knobs[VSCARD_FIDO_REFUSE_CTAP] != 0)
            *answer = statusWord((WORD)f.knobs[VSCARD_FIDO_REFUSE_CTAP]);
        else if (f.knobs[VSCARD_FIDO_ENDLESS_MORE_DATA] && cla == 0x80)
            *answer = statusWord(0x6110);
        else if (f.knobs[VSCARD_FIDO_BUSY] && cla == 0x80) {
            f.withheld = Bytes(1, CTAP_KEEPALIVE_CANCEL);
            f.pollsLeft = 0;
            *answer = statusUpdate(0x01);
        } else
            *answer = nfcctapMessage(r, command, length, delayMs);
        return true;
    }
    if (ins == 0x11 && cla == 0x80 && command[3] == 0x00 && (length == 4 || (length == 5 && command[4] == 0))) {
        if (f.withheld.empty()) {
            *answer = statusWord(0x6985);
        } else if (command[2] == 0x11) {
            f.withheld.clear();
            *answer = deliver(f, Bytes(1, CTAP_KEEPALIVE_CANCEL));
        } else if (command[2] == 0x00) {
            if (f.knobs[VSCARD_FIDO_BUSY]) {
                *answer = statusUpdate(0x01);
            } else if (--f.pollsLeft > 0) {
                *answer = statusUpdate(0x02);
            } else {
                *answer = deliver(f, f.withheld);
                f.withheld.clear();
            }
        } else {
            *answer = statusWord(0x6A86);
        }
        return true;
    }
    return false;
}

} // namespace vscard
