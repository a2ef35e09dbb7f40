// The FIDO2 authenticator of the simulated token: the FIDO applet's APDUs and the
// authenticatorMakeCredential / authenticatorGetAssertion commands, with ES256 keys
// through CNG. The CBOR is read and written with the product's own reader and writer.
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
const BYTE CTAP_INVALID_CBOR = 0x12;
const BYTE CTAP_MISSING_PARAMETER = 0x14;
const BYTE CTAP_UNSUPPORTED_ALGORITHM = 0x26;
const BYTE CTAP_INVALID_OPTION = 0x2C;
const BYTE CTAP_KEEPALIVE_CANCEL = 0x2D;
const BYTE CTAP_NO_CREDENTIALS = 0x2E;
const BYTE CTAP_PIN_REQUIRED = 0x36;
const BYTE CTAP_OTHER = 0x7F;

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
    if (!request.ReadMapHeader(&entries))
        return Bytes(1, CTAP_INVALID_CBOR);
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        size_t count;
        if (!request.ReadInteger(&key))
            return Bytes(1, CTAP_INVALID_CBOR);
        if (key == 1 && request.ReadBytes(&clientDataHash, &cbHash))
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

    BYTE rpIdHash[32];
    Bytes id;
    BYTE publicKey[64];
    if (!rpIdHashOf(rpId, cchRpId, rpIdHash) || !makeCredentialId(deviceSecret(r), rpIdHash, &id, publicKey))
        return Bytes(1, CTAP_OTHER);
    Bytes authData(rpIdHash, rpIdHash + 32);
    authData.push_back(0x41); // UP, AT
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
    if (!request.ReadMapHeader(&entries))
        return Bytes(1, CTAP_INVALID_CBOR);
    for (size_t i = 0; i < entries; ++i) {
        int64_t key;
        size_t count;
        if (!request.ReadInteger(&key))
            return Bytes(1, CTAP_INVALID_CBOR);
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
    authData.push_back(userPresence ? 0x01 : 0x00);
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
    if (command != 0x01 && command != 0x02)
        return Bytes(1, CTAP_INVALID_COMMAND);
    if (body == NULL || !CheckCanonicalCbor(body, cbBody, &cbItem) || cbItem != cbBody)
        return Bytes(1, CTAP_INVALID_CBOR);
    CCborReader request(body, cbBody);
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
