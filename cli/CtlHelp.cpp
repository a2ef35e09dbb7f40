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
        L"  associate NAME [--recovery]         the plugged-in token to NAME (and a new recovery code)\n"
        L"  dissociate NAME [--serial SERIAL] [--remove-recovery]\n"
        L"                                      the plugged-in (or a lost) token from NAME\n"
        L"  recovery generate NAME              a new recovery code for NAME, shown once\n"
        L"  recovery remove NAME [--force]      delete NAME's recovery code\n"
        L"  help [COMMAND], COMMAND --help      this text, or one command's\n"
        L"\n"
        L"NAME is a local account of this computer (\"alice\", \".\\alice\" or \"COMPUTER\\alice\");\n"
        L"the configuration records it as the system spells it.\n"
        L"Every command except help needs an elevated administrator.\n"
        L"\n"
        L"--json  one JSON object on standard output (warnings and errors also go to standard error)\n"
        L"\n"
        L"Exit codes:\n"
        L"  0  success\n"
        L"  1  refused by a rule (already registered, not this account's token, unknown account,\n"
        L"     lockout preflight)\n"
        L"  2  usage error\n"
        L"  3  not enforced (status, enable computer): the factor is on but LSA would not run the package\n"
        L"  4  token or registry error (no token, several, unreadable serial, PC/SC or registry failure)\n"
        L"  5  not running as an elevated administrator\n";

    const wchar_t STATUS[] =
        L"velkorctl status [--json]\n"
        L"\n"
        L"Shows the switches under HKLM\\SOFTWARE\\Halvane\\FIDO2\\auth\\settings (enabled,\n"
        L"safemodeEnabled, loggingEnabled, eventLogEnabled, requireProof), every account with a\n"
        L"users\\NAME key (factor on or off, recovery code set or not, its tokens), every token\n"
        L"(serial, account, proof credential, signCount) and the installation: MSV1_0 Auth0,\n"
        L"VelkorSubAuth.dll in System32, the credential provider, its filter and COM class, and\n"
        L"LSA protection (RunAsPPL).\n"
        L"\n"
        L"While the computer's factor is on but LSA would not run the package (Auth0 not ours,\n"
        L"the DLL missing, RunAsPPL 1 or 2) a line starting \"NOT ENFORCED:\" says why and the\n"
        L"exit code is 3. Lines starting \"WARNING:\" name accounts with the factor on that no\n"
        L"longer exist or have neither a token nor a recovery code, safe mode letting every\n"
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
        L"The account's key must exist (associate a token or generate a recovery code first).\n";

    const wchar_t DISABLE[] =
        L"velkorctl disable computer [--json]\n"
        L"velkorctl disable user NAME [--json]\n"
        L"\n"
        L"Writes settings\\enabled = 0, or users\\NAME\\enabled = 0. Tokens and recovery codes stay.\n"
        L"An account without a users\\NAME key is already off: nothing is written.\n";

    const wchar_t ASSOCIATE[] =
        L"velkorctl associate NAME [--recovery] [--json]\n"
        L"\n"
        L"Records the one plugged-in Velkor FIDO2 token for NAME (tokens\\SERIAL\\user) and switches\n"
        L"NAME's factor on, with the Login Manager's rules and messages: exactly one token must be\n"
        L"plugged in (exit 4 otherwise), and a token that belongs to an account already is refused\n"
        L"(exit 1). With --recovery a new recovery code is generated in the same step and printed\n"
        L"once (it replaces an earlier one). Services and scheduled tasks that run as NAME are\n"
        L"named in warnings, as for enable user.\n";

    const wchar_t DISSOCIATE[] =
        L"velkorctl dissociate NAME [--serial SERIAL] [--remove-recovery] [--json]\n"
        L"\n"
        L"Removes the plugged-in token, or with --serial the token with that serial number (a lost\n"
        L"key; 8 hexadecimal digits), from NAME. Only NAME's own token is removed (exit 1\n"
        L"otherwise). NAME's factor is switched off unless another token still names it.\n"
        L"--remove-recovery also deletes NAME's recovery code.\n";

    const wchar_t RECOVERY[] =
        L"velkorctl recovery generate NAME [--json]\n"
        L"velkorctl recovery remove NAME [--force] [--json]\n"
        L"\n"
        L"generate makes a new recovery code for NAME and prints it once; only a verifier is\n"
        L"stored, and an earlier code stops working. It creates users\\NAME (factor off) when it\n"
        L"is missing, so a code can be made before the factor is switched on.\n"
        L"remove deletes NAME's recovery code. When NAME's factor is on and no token names it,\n"
        L"that would lock NAME out: refused (exit 1) unless --force.\n";

    struct Topic
    {
        const wchar_t* name;
        const wchar_t* text;
    };
    const Topic TOPICS[] = {
        { L"status", STATUS },       { L"enable", ENABLE },         { L"disable", DISABLE },
        { L"associate", ASSOCIATE }, { L"dissociate", DISSOCIATE }, { L"recovery", RECOVERY },
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
