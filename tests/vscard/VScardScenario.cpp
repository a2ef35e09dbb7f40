// Scenario files: a line-based way for another process to set up the stack.
#include "VScardHid.h"

#include <string.h>

namespace vscard {

namespace {

bool readFile(const std::wstring& path, std::string* bytes)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    char buf[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(f, buf, sizeof buf, &got, NULL)) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        bytes->append(buf, got);
    }
    CloseHandle(f);
    return ok;
}

// Everything is handled as UTF-8; a UTF-16 file (as some editors save) is converted first.
std::string normaliseText(const std::string& raw)
{
    if (raw.size() >= 2 && (BYTE)raw[0] == 0xFF && (BYTE)raw[1] == 0xFE) {
        std::wstring wide((raw.size() - 2) / 2, L'\0');
        if (!wide.empty())
            memcpy(&wide[0], raw.data() + 2, wide.size() * sizeof(wchar_t));
        return toUtf8(wide);
    }
    if (raw.size() >= 3 && (BYTE)raw[0] == 0xEF && (BYTE)raw[1] == 0xBB && (BYTE)raw[2] == 0xBF)
        return raw.substr(3);
    return raw;
}

std::string lower(std::string s)
{
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 'A' && s[i] <= 'Z')
            s[i] = (char)(s[i] - 'A' + 'a');
    }
    return s;
}

struct Word {
    std::string text;
    bool quoted;
};

bool splitLine(const std::string& line, std::vector<Word>* words, std::wstring* error)
{
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                *error = L"missing closing quote";
                return false;
            }
            Word w = {line.substr(i + 1, end - i - 1), true};
            words->push_back(w);
            i = end + 1;
        } else {
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#' &&
                   line[i] != '"')
                ++i;
            Word w = {line.substr(start, i - start), false};
            words->push_back(w);
        }
    }
    return true;
}

bool parseDecimal(const std::string& s, DWORD* value)
{
    if (s.empty() || s.size() > 9)
        return false;
    DWORD v = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (DWORD)(s[i] - '0');
    }
    *value = v;
    return true;
}

bool parseHex32(std::string s, DWORD* value)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    if (s.empty() || s.size() > 8)
        return false;
    DWORD v = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | (DWORD)d;
    }
    *value = v;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int commandFromName(const std::string& name)
{
    static const char* const names[VSCARD_CMD_COUNT] = {"select", "get_cplc", "select_otp", "get_bf52",
                                                        "init_update"};
    std::string n = lower(name);
    for (int i = 0; i < VSCARD_CMD_COUNT; ++i) {
        if (n == names[i])
            return i;
    }
    return -1;
}

bool parseHexBytes(const std::vector<Word>& w, size_t first, std::vector<BYTE>* bytes, std::wstring* error)
{
    std::string digits;
    for (size_t i = first; i < w.size(); ++i)
        digits += w[i].text;
    if (digits.size() % 2 != 0) {
        *error = L"odd number of hex digits";
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        int hi = hexDigit(digits[i]);
        int lo = hexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0) {
            *error = L"not a hex digit";
            return false;
        }
        bytes->push_back((BYTE)(hi * 16 + lo));
    }
    return true;
}

// fido <setting> [values]: the FIDO2 authenticator of the last reader's token.
bool applyFido(const std::vector<Word>& w, FidoToken& f, std::wstring* error)
{
    static const struct {
        const char* name;
        int knob;
        int words; // values after the name: 0 sets the knob to 1, 1 takes a decimal
    } kKnobs[] = {
        {"refuse-silent", VSCARD_FIDO_REFUSE_SILENT, 0},
        {"pin-required", VSCARD_FIDO_PIN_REQUIRED, 0},
        {"refuse-get-response-80", VSCARD_FIDO_REFUSE_GET_RESPONSE_80, 0},
        {"endless-more-data", VSCARD_FIDO_ENDLESS_MORE_DATA, 0},
        {"busy", VSCARD_FIDO_BUSY, 0},
        {"make-cred-uv-not-rqd", VSCARD_FIDO_MAKE_CRED_UV_NOT_RQD, 0},
        {"always-uv", VSCARD_FIDO_ALWAYS_UV, 0},
        {"pin-retries", VSCARD_FIDO_PIN_RETRIES, 1},
        {"touch-polls", VSCARD_FIDO_TOUCH_POLLS, 1},
        {"touch-delay", VSCARD_FIDO_TOUCH_DELAY_MS, 1},
        {"assertion-delay", VSCARD_FIDO_ASSERTION_DELAY_MS, 1},
        {"chunk", VSCARD_FIDO_CHUNK, 1},
        {"counter-lag", VSCARD_FIDO_COUNTER_LAG, 1},
    };
    const std::string setting = w.size() >= 2 ? lower(w[1].text) : std::string();
    for (size_t i = 0; i < sizeof kKnobs / sizeof kKnobs[0]; ++i) {
        if (setting != kKnobs[i].name)
            continue;
        DWORD value = 1;
        if (w.size() != (size_t)(2 + kKnobs[i].words) ||
            (kKnobs[i].words == 1 && !parseDecimal(w[2].text, &value)) ||
            (kKnobs[i].knob == VSCARD_FIDO_CHUNK && (value == 0 || value > 256))) {
            *error = L"bad value for 'fido " + fromUtf8(setting) + L"'";
            return false;
        }
        f.knobs[kKnobs[i].knob] = value;
        return true;
    }
    if (setting == "absent") {
        std::string sw = w.size() == 3 ? lower(w[2].text) : std::string("6a82");
        if (w.size() > 3 || (sw != "6a82" && sw != "6d00")) {
            *error = L"expected: fido absent [6A82|6D00]";
            return false;
        }
        f.knobs[VSCARD_FIDO_ABSENT] = sw == "6a82" ? 0x6A82 : 0x6D00;
        return true;
    }
    if (setting == "refuse-ctap") {
        DWORD sw = 0;
        if (w.size() != 3 || !parseHex32(w[2].text, &sw) || sw < 0x6000 || sw > 0x6FFF) {
            *error = L"expected: fido refuse-ctap <status word, 6000 to 6FFF>";
            return false;
        }
        f.knobs[VSCARD_FIDO_REFUSE_CTAP] = sw;
        return true;
    }
    if (setting == "pin") {
        if (w.size() != 3 || w[2].text.size() < 4 || w[2].text.size() > 63) {
            *error = L"expected: fido pin <text of 4 to 63 bytes>";
            return false;
        }
        f.pin = w[2].text;
        f.knobs[VSCARD_FIDO_PIN_RETRIES] = 8;
        return true;
    }
    if (setting == "pin-protocols") {
        const std::string list = w.size() == 3 ? w[2].text : std::string();
        const DWORD mask = list == "1" ? 1 : list == "2" ? 2 : list == "2,1" ? 3 : 0;
        if (mask == 0) {
            *error = L"expected: fido pin-protocols 1|2|2,1";
            return false;
        }
        f.knobs[VSCARD_FIDO_PIN_PROTOCOLS] = mask;
        return true;
    }
    if (setting == "version") {
        if (w.size() != 3 || w[2].text.empty() || w[2].text.size() > 32) {
            *error = L"expected: fido version <text of 1 to 32 characters>";
            return false;
        }
        f.version = w[2].text;
        return true;
    }
    if (setting == "counter") {
        static const char* const kModes[] = {"per-credential", "global", "zero"};
        DWORD mode = 3;
        for (DWORD m = 0; m < 3 && w.size() >= 3; ++m) {
            if (lower(w[2].text) == kModes[m])
                mode = m;
        }
        DWORD start = VSCARD_COUNTER_CLOCK;
        if (mode == 3 || w.size() > 4 || (w.size() == 4 && lower(w[3].text) != "clock" && !parseDecimal(w[3].text, &start))) {
            *error = L"expected: fido counter per-credential|global|zero [clock|<start>]";
            return false;
        }
        f.knobs[VSCARD_FIDO_COUNTER_MODE] = mode;
        f.knobs[VSCARD_FIDO_COUNTER_START] = start;
        return true;
    }
    if (setting == "damage") {
        static const char* const kDamage[] = {"none", "cut", "trailing", "auth-data", "signature"};
        const std::string command = w.size() == 4 ? lower(w[2].text) : std::string();
        int knob = command == "make-credential" ? VSCARD_FIDO_DAMAGE_MAKE_CREDENTIAL
                   : command == "get-assertion" ? VSCARD_FIDO_DAMAGE_GET_ASSERTION
                                                : -1;
        for (DWORD d = 0; knob >= 0 && d < 5; ++d) {
            if (lower(w[3].text) == kDamage[d]) {
                f.knobs[knob] = d;
                return true;
            }
        }
        *error = L"expected: fido damage make-credential|get-assertion none|cut|trailing|auth-data|signature";
        return false;
    }
    *error = L"unknown fido setting '" + fromUtf8(setting) + L"'";
    return false;
}

// hid "<product>" [fido|keyboard|mouse|usage <page> <usage>] [unplugged]: a new HID device;
// hid <setting> [value]: a setting of the last one.
bool applyHid(const std::vector<Word>& w, int* hidTarget, std::wstring* error)
{
    if (w.size() >= 2 && w[1].quoted) {
        DWORD page = VSCARD_HID_USAGE_PAGE_FIDO;
        DWORD usage = VSCARD_HID_USAGE_FIDO;
        bool unplugged = false;
        for (size_t i = 2; i < w.size(); ++i) {
            const std::string kind = lower(w[i].text);
            if (kind == "fido") {
                page = VSCARD_HID_USAGE_PAGE_FIDO;
                usage = VSCARD_HID_USAGE_FIDO;
            } else if (kind == "keyboard" || kind == "mouse") {
                page = 0x0001;
                usage = kind == "keyboard" ? 0x06 : 0x02;
            } else if (kind == "usage" && i + 2 < w.size() && parseHex32(w[i + 1].text, &page) &&
                       parseHex32(w[i + 2].text, &usage) && page <= 0xFFFF && usage <= 0xFFFF) {
                i += 2;
            } else if (kind == "unplugged") {
                unplugged = true;
            } else {
                *error = L"expected: hid \"product\" [fido|keyboard|mouse|usage <page> <usage>] [unplugged]";
                return false;
            }
        }
        *hidTarget = addHidDevice(fromUtf8(w[1].text), (USHORT)page, (USHORT)usage);
        if (*hidTarget < 0) {
            *error = L"the product string must have 1 to 126 characters";
            return false;
        }
        if (unplugged)
            plugHidDevice(*hidTarget, false);
        return true;
    }
    HidDevice* d = hidDevice(*hidTarget);
    const std::string setting = w.size() >= 2 ? lower(w[1].text) : std::string();
    if (d == NULL) {
        *error = L"'hid " + fromUtf8(setting) + L"' needs a hid \"product\" line before it";
        return false;
    }
    static const struct {
        const char* name;
        int knob;
        int value; // 0: none (the knob is set to 1), 10: decimal, 16: hexadecimal
    } kSettings[] = {
        {"vid", VSCARD_HID_VENDOR_ID, 16},       {"pid", VSCARD_HID_PRODUCT_ID, 16},
        {"open-denied", VSCARD_HID_OPEN_DENIED, 0}, {"sync-writes", VSCARD_HID_SYNC_WRITES, 0},
        {"unplug-after", VSCARD_HID_UNPLUG_AFTER, 10}, {"mute", VSCARD_HID_MUTE, 0},
        {"init-nonce", VSCARD_HID_INIT_NONCE, 0}, {"no-cbor", VSCARD_HID_NO_CBOR, 0},
        {"foreign-cid", VSCARD_HID_FOREIGN_CID, 0}, {"touch", VSCARD_HID_TOUCH_MS, 10},
        {"error", VSCARD_HID_ERROR, 16},          {"bcnt", VSCARD_HID_BCNT, 10},
        {"bcnt-extra", VSCARD_HID_BCNT_EXTRA, 10}, {"cut-after", VSCARD_HID_CUT_AFTER, 10},
        {"bad-seq", VSCARD_HID_BAD_SEQ, 0},       {"init-in-answer", VSCARD_HID_INIT_IN_ANSWER, 0},
    };
    for (size_t i = 0; i < sizeof kSettings / sizeof kSettings[0]; ++i) {
        if (setting != kSettings[i].name)
            continue;
        DWORD value = 1;
        const bool read = kSettings[i].value == 0    ? w.size() == 2
                          : kSettings[i].value == 10 ? w.size() == 3 && parseDecimal(w[2].text, &value)
                                                     : w.size() == 3 && parseHex32(w[2].text, &value);
        if (!read || !setHidKnob(*d, kSettings[i].knob, value) || (kSettings[i].knob == VSCARD_HID_ERROR && value == 0)) {
            *error = L"bad value for 'hid " + fromUtf8(setting) + L"'";
            return false;
        }
        return true;
    }
    const std::string value = w.size() == 3 ? lower(w[2].text) : std::string();
    if (setting == "unplugged" && w.size() == 2) {
        plugHidDevice(*hidTarget, false);
        return true;
    }
    if (setting == "init-cid" && (value == "0" || value == "ffffffff")) {
        d->knobs[VSCARD_HID_INIT_CID] = value == "0" ? VSCARD_HID_CID_ZERO : VSCARD_HID_CID_BROADCAST;
        return true;
    }
    if (setting == "endless-keepalive" && (w.size() == 2 || value == "1" || value == "2")) {
        d->knobs[VSCARD_HID_ENDLESS_KEEPALIVE] = value == "2" ? 2 : 1;
        return true;
    }
    if (setting == "unplug-error" && (value == "not-connected" || value == "gen-failure")) {
        d->knobs[VSCARD_HID_UNPLUG_ERROR] = value == "gen-failure" ? ERROR_GEN_FAILURE : ERROR_DEVICE_NOT_CONNECTED;
        return true;
    }
    *error = L"unknown or bad hid setting '" + fromUtf8(setting) + L"'";
    return false;
}

// fido lines for a HID key: the settings of the APDU transport do not apply to it.
bool applyHidFido(const std::vector<Word>& w, HidDevice& d, std::wstring* error)
{
    FidoToken changed = d.token.fido;
    if (!applyFido(w, changed, error))
        return false;
    for (int knob = 0; knob < VSCARD_FIDO_KNOB_COUNT; ++knob) {
        if (changed.knobs[knob] != d.token.fido.knobs[knob] && !fidoKnobAppliesToHid(knob)) {
            *error = L"'fido " + fromUtf8(lower(w[1].text)) + L"' concerns a smart card's APDUs, not a HID key";
            return false;
        }
    }
    if (changed.version != d.token.fido.version || !d.fido()) {
        *error = L"'fido " + fromUtf8(lower(w[1].text)) + L"' does not apply to this HID device";
        return false;
    }
    d.token.fido = changed;
    return true;
}

bool applyLine(const std::vector<Word>& w, int* hidTarget, std::wstring* error)
{
    std::string verb = lower(w[0].text);
    if (verb == "hid")
        return applyHid(w, hidTarget, error);
    if (verb == "reader")
        *hidTarget = -1;
    // serial, device-secret and fido after a hid line are the HID key's.
    HidDevice* hid = hidDevice(*hidTarget);
    if (hid != NULL && (verb == "protocol" || verb == "answer" || verb == "pull-after")) {
        *error = L"'" + fromUtf8(w[0].text) + L"' concerns a reader's token, not a HID device";
        return false;
    }
    if (hid != NULL && verb == "fido")
        return applyHidFido(w, *hid, error);
    Reader* last = hid != NULL ? &hid->token : g.readers.empty() ? NULL : &g.readers.back();
    if (verb != "reader" && verb != "fail" && last == NULL) {
        *error = L"'" + fromUtf8(w[0].text) + L"' needs a reader or hid line before it";
        return false;
    }

    if (verb == "reader") {
        if (w.size() < 2 || w.size() > 3 || !w[1].quoted) {
            *error = L"expected: reader \"name\" [token|empty]";
            return false;
        }
        bool token = false;
        if (w.size() == 3) {
            std::string t = lower(w[2].text);
            if (t == "token")
                token = true;
            else if (t != "empty") {
                *error = L"expected 'token' or 'empty' after the reader name";
                return false;
            }
        }
        if (addReader(fromUtf8(w[1].text), token) < 0) {
            *error = L"reader name is empty or already used";
            return false;
        }
        return true;
    }

    if (verb == "serial") {
        DWORD serial;
        if (w.size() != 2 || !parseHex32(w[1].text, &serial)) {
            *error = L"expected: serial <up to 8 hex digits>";
            return false;
        }
        last->serial = serial;
        return true;
    }

    if (verb == "protocol") {
        std::string p = w.size() == 2 ? lower(w[1].text) : std::string();
        if (p == "t0" || p == "t=0" || p == "1")
            last->protocol = SCARD_PROTOCOL_T0;
        else if (p == "t1" || p == "t=1" || p == "2")
            last->protocol = SCARD_PROTOCOL_T1;
        else {
            *error = L"expected: protocol T0|T1";
            return false;
        }
        return true;
    }

    if (verb == "answer") {
        int command = w.size() >= 2 ? commandFromName(w[1].text) : -1;
        if (command < 0) {
            *error = L"expected: answer SELECT|GET_CPLC|SELECT_OTP|GET_BF52|INIT_UPDATE [hex bytes|default]";
            return false;
        }
        if (w.size() == 3 && lower(w[2].text) == "default") {
            last->customAnswer[command] = false;
            last->answer[command].clear();
            return true;
        }
        std::string digits;
        for (size_t i = 2; i < w.size(); ++i)
            digits += w[i].text;
        if (digits.size() % 2 != 0) {
            *error = L"odd number of hex digits";
            return false;
        }
        std::vector<BYTE> bytes;
        for (size_t i = 0; i < digits.size(); i += 2) {
            int hi = hexDigit(digits[i]);
            int lo = hexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0) {
                *error = L"not a hex digit";
                return false;
            }
            bytes.push_back((BYTE)(hi * 16 + lo));
        }
        if (bytes.size() > VSCARD_MAX_ANSWER) {
            *error = L"answer longer than 258 bytes";
            return false;
        }
        last->customAnswer[command] = true;
        last->answer[command] = bytes;
        return true;
    }

    if (verb == "fido")
        return applyFido(w, last->fido, error);

    if (verb == "device-secret") {
        std::vector<BYTE> secret;
        if (w.size() < 2 || !parseHexBytes(w, 1, &secret, error) || secret.empty() || secret.size() > 64) {
            if (error->empty())
                *error = L"expected: device-secret <1 to 64 bytes in hex>";
            return false;
        }
        last->fido.secret = secret;
        return true;
    }

    if (verb == "pull-after") {
        DWORD k;
        if (w.size() != 2 || !parseDecimal(w[1].text, &k)) {
            *error = L"expected: pull-after <number of transmits>";
            return false;
        }
        last->pullAfter = k;
        return true;
    }

    if (verb == "fail") {
        if (w.size() < 3 || w.size() > 5) {
            *error = L"expected: fail <SCardFunction> <hex code|SCARD_name> [nth] [always]";
            return false;
        }
        int function = functionFromName(w[1].text);
        if (function < 0) {
            *error = L"unknown function '" + fromUtf8(w[1].text) + L"'";
            return false;
        }
        LONG code = 0;
        if (!errorFromName(w[2].text, &code)) {
            DWORD hex;
            if (!parseHex32(w[2].text, &hex)) {
                *error = L"bad error code '" + fromUtf8(w[2].text) + L"'";
                return false;
            }
            code = (LONG)hex;
        }
        if (code == 0) {
            *error = L"the error code must not be 0";
            return false;
        }
        DWORD nth = 1;
        bool always = false;
        size_t i = 3;
        if (i < w.size() && lower(w[i].text) != "always") {
            if (!parseDecimal(w[i].text, &nth) || nth == 0) {
                *error = L"nth must be a number >= 1";
                return false;
            }
            ++i;
        }
        if (i < w.size()) {
            if (lower(w[i].text) != "always") {
                *error = L"expected 'always'";
                return false;
            }
            always = true;
            ++i;
        }
        if (i != w.size()) {
            *error = L"unexpected words after 'always'";
            return false;
        }
        FailRule rule = {code, g.calls[function] + nth, always};
        g.rules[function].push_back(rule);
        return true;
    }

    *error = L"unknown directive '" + fromUtf8(w[0].text) + L"'";
    return false;
}

} // namespace

int loadScenario(const std::wstring& path, std::wstring* error)
{
    std::string raw;
    if (!readFile(path, &raw)) {
        *error = L"cannot read the file";
        return -1;
    }
    std::string text = normaliseText(raw);
    size_t pos = 0;
    int lineNo = 0;
    int hidTarget = -1; // the HID device of the last hid line, until a reader line
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        std::vector<Word> words;
        if (!splitLine(line, &words, error))
            return lineNo;
        if (words.empty())
            continue;
        if (!applyLine(words, &hidTarget, error))
            return lineNo;
    }
    return 0;
}

} // namespace vscard
