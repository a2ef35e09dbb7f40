#include "CtlHelp.h"

namespace
{
    const wchar_t OVERVIEW[] =
        L"velkorctl: Velkor FIDO2 Login administration from the command line\n"
        L"\n"
        L"Usage: velkorctl COMMAND [options] [--json]\n"
        L"\n"
        L"Commands:\n"
        L"  status                              switches, accounts, tokens and whether the factor is enforced\n"
        L"  enable computer | disable computer  the token logon for the whole computer\n"
        L"  enable user NAME [--force]          the token logon for a local account\n"
        L"  disable user NAME\n"
        L"  associate NAME [--recovery] [--interface reader|usb] [--pin-file PATH]\n"
        L"                                      the plugged-in key to NAME (and a new recovery code)\n"
        L"  dissociate NAME [--serial ID] [--remove-recovery] [--interface reader|usb]\n"
        L"                                      the plugged-in (or a lost) key from NAME\n"
        L"  recovery generate NAME              a new recovery code for NAME, shown once\n"
        L"  recovery remove NAME [--force]      delete NAME's recovery code\n"
        L"  export [NAME...] [--file PATH]      the keys of these accounts (or all) as an enrolment document\n"
        L"  import PATH [--enable] [--force]    store an enrolment document's keys, all of them or none\n"
        L"  forget NAME [--yes]                 remove the configuration of an account that no longer exists\n"
        L"  help [COMMAND], COMMAND --help      this text, or one command's\n"
        L"  --version                           the product version\n"
        L"\n"
        L"NAME is a local account of this computer (\"alice\", \".\\alice\" or \"COMPUTER\\alice\");\n"
        L"the configuration records it as the system spells it. Commands and options may be\n"
        L"written in any case.\n"
        L"Every command except help needs an elevated administrator.\n"
        L"\n"
        L"--json  one JSON object on standard output (warnings and errors also go to standard error)\n"
        L"\n"
        L"Exit codes:\n"
        L"  0  success\n"
        L"  1  refused by a rule (already registered, not this account's token, unknown account,\n"
        L"     lockout preflight, a document that cannot be imported, forget unconfirmed)\n"
        L"  2  usage error\n"
        L"  3  not enforced (status, enable computer): the factor is on but LSA would not run the package\n"
        L"  4  token, registry or file error (no token, several, unreadable serial, PC/SC or registry\n"
        L"     failure, a file that cannot be read or written)\n"
        L"  5  not running as an elevated administrator\n";

    const wchar_t STATUS[] =
        L"velkorctl status [--json]\n"
        L"\n"
        L"Shows the switches under HKLM\\SOFTWARE\\Halvane\\FIDO2\\auth\\settings (enabled,\n"
        L"safemodeEnabled, loggingEnabled, eventLogEnabled, requireProof, networkLogons), every account with a\n"
        L"users\\NAME key (factor on or off, recovery code set or not, its tokens), every token\n"
        L"(serial, account, proof credential, signCount) and the installation: MSV1_0 Auth0,\n"
        L"VelkorSubAuth.dll in System32, the credential provider, its filter and COM class, and\n"
        L"LSA protection (RunAsPPL).\n"
        L"\n"
        L"While the computer's factor is on but LSA would not run the package (Auth0 not ours,\n"
        L"the DLL missing, RunAsPPL 1 or 2) a line starting \"NOT ENFORCED:\" says why and the\n"
        L"exit code is 3. Lines starting \"WARNING:\" name accounts with the factor on that no\n"
        L"longer exist (with the forget command to run) or have neither a token nor a recovery code, safe mode letting every\n"
        L"account in, and a missing logon-screen registration.\n";

    const wchar_t ENABLE[] =
        L"velkorctl enable computer [--json]\n"
        L"velkorctl enable user NAME [--force] [--json]\n"
        L"\n"
        L"enable computer writes settings\\enabled = 1. When LSA would not run the package the\n"
        L"\"NOT ENFORCED:\" line says why and the exit code is 3 (the switch is written).\n"
        L"\n"
        L"enable user writes users\\NAME\\enabled = 1 after a preflight:\n"
        L"  - an account with neither an associated token nor a recovery code would be locked\n"
        L"    out: refused (exit 1) unless --force;\n"
        L"  - every service and scheduled task that runs as NAME is named in a warning: it will\n"
        L"    fail to start while the token is absent.\n"
        L"An account without configuration gets its users\\NAME key (with --force, as it has no way in).\n";

    const wchar_t DISABLE[] =
        L"velkorctl disable computer [--json]\n"
        L"velkorctl disable user NAME [--json]\n"
        L"\n"
        L"Writes settings\\enabled = 0, or users\\NAME\\enabled = 0. Tokens and recovery codes stay.\n"
        L"An account without a users\\NAME key is already off: nothing is written. A NAME that is\n"
        L"no longer an account but still named by the configuration is switched off all the same.\n";

    const wchar_t ASSOCIATE[] =
        L"velkorctl associate NAME [--recovery] [--interface reader|usb] [--pin-file PATH] [--json]\n"
        L"\n"
        L"Records the one plugged-in key for NAME and switches NAME's factor on, with the Login\n"
        L"Manager's rules and messages. A Velkor FIDO2 token in a token reader is recorded by its\n"
        L"serial number (tokens\\SERIAL) with the credential it makes (over USB when its smart-card\n"
        L"interface has no FIDO2); without a token reader, the one FIDO security key plugged in over\n"
        L"USB is recorded by the credential made for it (tokens\\fido-ID, with the key's product name).\n"
        L"--interface reader or usb looks only there. \"Touch the key now\" asks for a touch while the\n"
        L"credential is made. Exactly one key must be plugged in (exit 4 otherwise), and a key that\n"
        L"belongs to an account already is refused (exit 1). With --recovery a new recovery code is\n"
        L"generated in the same step and printed once (it replaces an earlier one). Services and\n"
        L"scheduled tasks that run as NAME are named in warnings, as for enable user.\n"
        L"A key with a PIN needs it once, to make its credential: it is asked for at the console\n"
        L"without echo, or read from the first line of the UTF-8 file --pin-file names (for\n"
        L"scripts; keep that file where only administrators can read it). Logons never need it.\n"
        L"A key that wants its PIN at every use is refused (exit 1); a wrong PIN changes nothing\n"
        L"and tells the attempts left (exit 4).\n";

    const wchar_t DISSOCIATE[] =
        L"velkorctl dissociate NAME [--serial ID] [--remove-recovery] [--interface reader|usb] [--json]\n"
        L"\n"
        L"Removes the plugged-in key, or with --serial the key with that name (a lost key: a serial\n"
        L"number of 8 hexadecimal digits, or fido- and 16 as status shows it), from NAME. A key over\n"
        L"USB is recognised by proving, without a touch, that it holds one of NAME's credentials.\n"
        L"Only NAME's own key is removed (exit 1 otherwise). NAME's factor is switched off unless\n"
        L"another key still names it. --remove-recovery also deletes NAME's recovery code. Works on\n"
        L"a NAME that is no longer an account but still named by the configuration (a renamed or\n"
        L"deleted account).\n";

    const wchar_t RECOVERY[] =
        L"velkorctl recovery generate NAME [--json]\n"
        L"velkorctl recovery remove NAME [--force] [--json]\n"
        L"\n"
        L"generate makes a new recovery code for NAME and prints it once; only a verifier is\n"
        L"stored, and an earlier code stops working. It creates users\\NAME (factor off) when it\n"
        L"is missing, so a code can be made before the factor is switched on.\n"
        L"remove deletes NAME's recovery code. When NAME's factor is on and no token names it,\n"
        L"that would lock NAME out: refused (exit 1) unless --force. Works on a NAME that is no longer\n"
        L"an account but still named by the configuration.\n";

    const wchar_t EXPORT[] =
        L"velkorctl export [NAME...] [--file PATH] [--json]\n"
        L"\n"
        L"Writes the keys of the accounts named (all keys without NAME) as an enrolment document:\n"
        L"{\"format\": \"velkor-enrolment\", \"version\": 1, \"tokens\": [{\"id\", \"user\", \"credentialId\",\n"
        L"\"publicKey\", \"name\"}]}, binary values in base64url. No signature counter, recovery\n"
        L"verifier or code is ever written. Without --file the document is standard output (then\n"
        L"--json is refused: use --file).\n";

    const wchar_t IMPORT[] =
        L"velkorctl import PATH [--enable] [--force] [--json]\n"
        L"\n"
        L"Stores the keys of an enrolment document on this computer, all of them or none. The whole\n"
        L"document is checked first: format and version, every value's type and length, public keys\n"
        L"on the P-256 curve, every account a local account of this computer, at most 1 MiB.\n"
        L"A key stored for another account, or with another credential, is refused unless --force\n"
        L"replaces it; the same record again changes nothing. Each key's signature counter starts\n"
        L"at 0. --enable switches each account of the document on. Exit 1 when the document is\n"
        L"refused, 4 when the file cannot be read or a write fails (what was written is undone).\n";

    const wchar_t FORGET[] =
        L"velkorctl forget NAME [--yes] [--json]\n"
        L"\n"
        L"Removes all configuration of an account that no longer exists (renamed or deleted): its\n"
        L"users\\NAME key and every token key naming it, so its keys can be associated again.\n"
        L"Asks for \"yes\" at a console; scripts confirm with --yes (without it: exit 1, nothing\n"
        L"removed). Refused for an account that exists.\n";

    struct Topic
    {
        const wchar_t* name;
        const wchar_t* text;
    };
    const Topic TOPICS[] = {
        { L"status", STATUS },       { L"enable", ENABLE },         { L"disable", DISABLE },
        { L"associate", ASSOCIATE }, { L"dissociate", DISSOCIATE }, { L"recovery", RECOVERY },
        { L"export", EXPORT },       { L"import", IMPORT },         { L"forget", FORGET },
    };
}

std::wstring CtlHelpText(const std::wstring& topic)
{
    for (const Topic& row : TOPICS)
    {
        if (topic == row.name) return row.text;
    }
    return OVERVIEW;
}
