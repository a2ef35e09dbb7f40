// The PC/SC entry points of the virtual winscard.dll.
#include "VScardInternal.h"

#include <string.h>

using namespace vscard;

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

// Longest a caller waits for another handle's transaction. Real stacks wait
// forever; a forgotten SCardEndTransaction should fail a test, not hang it.
const DWORD kTransactionWaitMs = 30000;

const wchar_t kPnpReader[] = L"\\\\?PnP?\\Notification";

// One PC/SC call: counts it, applies failure rules and records the outcome.
class Call {
public:
    explicit Call(int function)
    {
        ensureInit(true);
        rec.function = function;
        injected = injectedFailure(function);
    }
    LONG done(LONG result)
    {
        rec.result = result;
        addRecord(rec);
        return result;
    }
    Record rec;
    LONG injected;
};

Context* findContext(SCARDCONTEXT h)
{
    std::map<ULONG_PTR, Context>::iterator it = g.contexts.find(h);
    return it == g.contexts.end() ? NULL : &it->second;
}

Card* findCard(SCARDHANDLE h)
{
    std::map<ULONG_PTR, Card>::iterator it = g.cards.find(h);
    return it == g.cards.end() ? NULL : &it->second;
}

int findReader(const std::wstring& name)
{
    for (size_t i = 0; i < g.readers.size(); ++i) {
        if (g.readers[i].name == name)
            return (int)i;
    }
    return -1;
}

// Fills the record with what is known about a card handle.
Card* noteCard(Record& rec, SCARDHANDLE h)
{
    rec.card = h;
    Card* c = findCard(h);
    if (c) {
        rec.context = c->context;
        rec.reader = (int)c->reader;
        rec.readerName = g.readers[c->reader].name;
        rec.activeProtocol = c->protocol;
    }
    return c;
}

bool validDisposition(DWORD d)
{
    return d == SCARD_LEAVE_CARD || d == SCARD_RESET_CARD || d == SCARD_UNPOWER_CARD || d == SCARD_EJECT_CARD;
}

bool liveOn(const Card& c, size_t reader)
{
    return c.reader == reader && !cardRemoved(c);
}

// Another handle on the reader that stops this share mode.
bool sharingConflict(size_t reader, DWORD shareMode, SCARDHANDLE self)
{
    for (std::map<ULONG_PTR, Card>::const_iterator it = g.cards.begin(); it != g.cards.end(); ++it) {
        if (it->first == self || !liveOn(it->second, reader))
            continue;
        if (shareMode == SCARD_SHARE_EXCLUSIVE || it->second.shareMode == SCARD_SHARE_EXCLUSIVE)
            return true;
    }
    return false;
}

// Protocol selection as a reader driver does it.
LONG negotiate(const Reader& r, DWORD shareMode, DWORD preferred, DWORD* active)
{
    if (shareMode != SCARD_SHARE_DIRECT && !r.present)
        return SCARD_E_NO_SMARTCARD;
    if (!r.present || (shareMode == SCARD_SHARE_DIRECT && preferred == 0)) {
        *active = SCARD_PROTOCOL_UNDEFINED;
        return SCARD_S_SUCCESS;
    }
    if ((preferred & r.protocol) == 0 && (preferred & SCARD_PROTOCOL_DEFAULT) == 0)
        return SCARD_E_PROTO_MISMATCH;
    *active = r.protocol;
    return SCARD_S_SUCCESS;
}

// Waits for a state change; false once the deadline has passed.
bool waitChange(bool infinite, ULONGLONG deadline)
{
    DWORD wait = INFINITE;
    if (!infinite) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        ULONGLONG left = deadline - now;
        wait = left > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)left;
    }
    SleepConditionVariableCS(&g.changed, &g.cs, wait);
    return true;
}

// Waits until no other handle holds a transaction on the card's reader.
// Returns 0 to go on, or the error to report.
LONG waitForTransaction(SCARDHANDLE h, bool take)
{
    ULONGLONG deadline = GetTickCount64() + kTransactionWaitMs;
    Card* first = findCard(h);
    Context* ctx = first ? findContext(first->context) : NULL;
    const DWORD cancels = ctx ? ctx->cancels : 0;
    for (;;) {
        Card* c = findCard(h);
        if (!c)
            return SCARD_E_INVALID_HANDLE;
        ctx = findContext(c->context);
        if (!ctx || ctx->cancels != cancels)
            return SCARD_E_CANCELLED;
        if (cardRemoved(*c))
            return SCARD_W_REMOVED_CARD;
        Reader& r = g.readers[c->reader];
        if (r.transactionOwner == 0 || r.transactionOwner == h) {
            if (take)
                r.transactionOwner = h;
            return 0;
        }
        if (!waitChange(false, deadline)) {
            reportProblem("vscard: gave up waiting for another handle's transaction to end\n");
            return SCARD_E_SHARING_VIOLATION;
        }
    }
}

void dropCard(SCARDHANDLE h)
{
    Card* c = findCard(h);
    if (!c)
        return;
    Reader& r = g.readers[c->reader];
    if (r.transactionOwner == h)
        r.transactionOwner = 0;
    g.cards.erase(h);
    notifyChange();
}

// ---- buffers handed back to the caller ----------------------------------------

// Caller conventions: NULL buffer = size query, caller buffer of *pcount
// elements, or *pcount == SCARD_AUTOALLOCATE with `out` really a T**.
LONG checkOutput(DWORD needed, const void* out, LPDWORD pcount)
{
    if (pcount == NULL)
        return SCARD_E_INVALID_PARAMETER;
    if (*pcount == SCARD_AUTOALLOCATE)
        return out != NULL ? SCARD_S_SUCCESS : SCARD_E_INVALID_PARAMETER;
    if (out != NULL && *pcount < needed)
        return SCARD_E_INSUFFICIENT_BUFFER;
    return SCARD_S_SUCCESS;
}

// After a successful checkOutput. *allocated receives autoallocated memory.
LONG commitOutput(SCARDCONTEXT context, const void* data, DWORD count, size_t elemSize, void* out, LPDWORD pcount,
                  void** allocated)
{
    *allocated = NULL;
    SIZE_T bytes = (SIZE_T)count * elemSize;
    if (*pcount == SCARD_AUTOALLOCATE) {
        void* p = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
        if (p == NULL)
            return SCARD_E_NO_MEMORY;
        try {
            g.allocations[p] = context;
        } catch (...) {
            HeapFree(GetProcessHeap(), 0, p);
            throw;
        }
        if (bytes)
            memcpy(p, data, bytes);
        memcpy(out, &p, sizeof p);
        *allocated = p;
    } else if (out != NULL && bytes) {
        memcpy(out, data, bytes);
    }
    *pcount = count;
    return SCARD_S_SUCCESS;
}

void undoAllocation(void* p)
{
    if (p == NULL)
        return;
    g.allocations.erase(p);
    HeapFree(GetProcessHeap(), 0, p);
}

LONG putOutput(SCARDCONTEXT context, const void* data, DWORD count, size_t elemSize, void* out, LPDWORD pcount)
{
    LONG rc = checkOutput(count, out, pcount);
    if (rc == SCARD_E_INSUFFICIENT_BUFFER)
        *pcount = count;
    if (rc != SCARD_S_SUCCESS)
        return rc;
    void* allocated;
    return commitOutput(context, data, count, elemSize, out, pcount, &allocated);
}

std::wstring fromAnsi(LPCSTR s)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s, -1, NULL, 0);
    if (n <= 1)
        return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, &out[0], n);
    out.resize((size_t)n - 1);
    return out;
}

std::string toAnsi(const std::wstring& s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, s.data(), (int)s.size(), NULL, 0, NULL, NULL);
    if (n <= 0)
        return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, 0, s.data(), (int)s.size(), &out[0], n, NULL, NULL);
    return out;
}

// ---- shared bodies of the W and A variants ---------------------------------------

LONG listReaders(Call& call, SCARDCONTEXT context, bool wide, void* out, LPDWORD pcch)
{
    call.rec.context = context;
    if (call.injected)
        return call.injected;
    // A NULL context is allowed here, as with the real service.
    if (context != 0 && !findContext(context))
        return SCARD_E_INVALID_HANDLE;
    if (pcch == NULL)
        return SCARD_E_INVALID_PARAMETER;
    if (g.readers.empty())
        return SCARD_E_NO_READERS_AVAILABLE;
    if (wide) {
        std::wstring multi;
        for (size_t i = 0; i < g.readers.size(); ++i) {
            multi += g.readers[i].name;
            multi += L'\0';
        }
        multi += L'\0';
        return putOutput(context, multi.data(), (DWORD)multi.size(), sizeof(wchar_t), out, pcch);
    }
    std::string multi;
    for (size_t i = 0; i < g.readers.size(); ++i) {
        multi += toAnsi(g.readers[i].name);
        multi += '\0';
    }
    multi += '\0';
    return putOutput(context, multi.data(), (DWORD)multi.size(), sizeof(char), out, pcch);
}

LONG connectCard(Call& call, SCARDCONTEXT context, const std::wstring* name, DWORD shareMode, DWORD preferred,
             LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    Record& rec = call.rec;
    rec.context = context;
    rec.shareMode = shareMode;
    rec.preferredProtocols = preferred;
    int index = -1;
    if (name) {
        rec.readerName = *name;
        index = findReader(*name);
        rec.reader = index;
    }
    if (call.injected)
        return call.injected;
    if (!findContext(context))
        return SCARD_E_INVALID_HANDLE;
    if (name == NULL || phCard == NULL || pdwActiveProtocol == NULL)
        return SCARD_E_INVALID_PARAMETER;
    if (index < 0)
        return SCARD_E_UNKNOWN_READER;
    if (shareMode != SCARD_SHARE_SHARED && shareMode != SCARD_SHARE_EXCLUSIVE && shareMode != SCARD_SHARE_DIRECT)
        return SCARD_E_INVALID_VALUE;
    Reader& r = g.readers[(size_t)index];
    DWORD active = 0;
    LONG rc = negotiate(r, shareMode, preferred, &active);
    if (rc != SCARD_S_SUCCESS)
        return rc;
    if (sharingConflict((size_t)index, shareMode, 0))
        return SCARD_E_SHARING_VIOLATION;

    Card c;
    c.context = context;
    c.reader = (size_t)index;
    c.events = r.events;
    c.shareMode = shareMode;
    c.protocol = active;
    c.withToken = r.present;
    g.nextCard += 4;
    SCARDHANDLE h = g.nextCard;
    g.cards[h] = c;
    notifyChange();
    *phCard = h;
    *pdwActiveProtocol = active;
    rec.card = h;
    rec.activeProtocol = active;
    return SCARD_S_SUCCESS;
}

LONG status(Call& call, SCARDHANDLE hCard, bool wide, void* name, LPDWORD pcchName, LPDWORD pdwState,
            LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtr)
{
    Card* c = noteCard(call.rec, hCard);
    if (call.injected)
        return call.injected;
    if (!c)
        return SCARD_E_INVALID_HANDLE;
    if (cardRemoved(*c))
        return SCARD_W_REMOVED_CARD;
    const Reader& r = g.readers[c->reader];

    // The name comes back as a multi-string (one name, then the closing NUL).
    std::wstring wideName = r.name + L'\0';
    std::string ansiName = toAnsi(r.name) + '\0';
    const void* nameData = wide ? (const void*)wideName.c_str() : (const void*)ansiName.c_str();
    DWORD nameCount = (DWORD)(wide ? wideName.size() : ansiName.size()) + 1;
    size_t nameElem = wide ? sizeof(wchar_t) : sizeof(char);
    std::vector<BYTE> atr;
    if (r.present)
        atr = tokenAtr(r);

    LONG nameRc = pcchName ? checkOutput(nameCount, name, pcchName) : SCARD_S_SUCCESS;
    LONG atrRc = pcbAtr ? checkOutput((DWORD)atr.size(), pbAtr, pcbAtr) : SCARD_S_SUCCESS;
    if (nameRc == SCARD_E_INVALID_PARAMETER || atrRc == SCARD_E_INVALID_PARAMETER)
        return SCARD_E_INVALID_PARAMETER;
    if (nameRc != SCARD_S_SUCCESS || atrRc != SCARD_S_SUCCESS) {
        if (nameRc != SCARD_S_SUCCESS)
            *pcchName = nameCount;
        if (atrRc != SCARD_S_SUCCESS)
            *pcbAtr = (DWORD)atr.size();
        return SCARD_E_INSUFFICIENT_BUFFER;
    }

    void* nameMemory = NULL;
    if (pcchName) {
        LONG rc = commitOutput(c->context, nameData, nameCount, nameElem, name, pcchName, &nameMemory);
        if (rc != SCARD_S_SUCCESS)
            return rc;
    }
    if (pcbAtr) {
        void* atrMemory;
        LONG rc = commitOutput(c->context, atr.empty() ? NULL : &atr[0], (DWORD)atr.size(), 1, pbAtr, pcbAtr,
                               &atrMemory);
        if (rc != SCARD_S_SUCCESS) {
            undoAllocation(nameMemory);
            return rc;
        }
    }
    if (pdwState) {
        if (!r.present)
            *pdwState = SCARD_ABSENT;
        else
            *pdwState = c->protocol != SCARD_PROTOCOL_UNDEFINED ? SCARD_SPECIFIC : SCARD_POWERED;
    }
    if (pdwProtocol)
        *pdwProtocol = c->protocol;
    return SCARD_S_SUCCESS;
}

struct Query {
    std::wstring name;
    DWORD current;
    DWORD event;
    DWORD cbAtr;
    BYTE atr[36];
};

// Computes the event state of one entry; true if it differs from the caller's view.
bool evaluate(Query& q)
{
    const DWORD observable = SCARD_STATE_UNKNOWN | SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY |
                             SCARD_STATE_PRESENT | SCARD_STATE_ATRMATCH | SCARD_STATE_EXCLUSIVE |
                             SCARD_STATE_INUSE | SCARD_STATE_MUTE | SCARD_STATE_UNPOWERED;
    if (q.current & SCARD_STATE_IGNORE) {
        q.event = SCARD_STATE_IGNORE;
        return false;
    }
    bool changed;
    if (q.name == kPnpReader) {
        // The high word carries the reader count; a change means readers came or went.
        DWORD count = (DWORD)g.readers.size() & 0xFFFF;
        q.event = count << 16;
        changed = (q.current >> 16) != count;
    } else {
        int index = findReader(q.name);
        if (index < 0) {
            q.event = SCARD_STATE_UNKNOWN;
            changed = (q.current & SCARD_STATE_UNKNOWN) == 0;
        } else {
            const Reader& r = g.readers[(size_t)index];
            DWORD state = SCARD_STATE_EMPTY;
            q.cbAtr = 0;
            if (r.present) {
                state = SCARD_STATE_PRESENT;
                for (std::map<ULONG_PTR, Card>::const_iterator it = g.cards.begin(); it != g.cards.end(); ++it) {
                    if (!liveOn(it->second, (size_t)index))
                        continue;
                    state |= SCARD_STATE_INUSE;
                    if (it->second.shareMode == SCARD_SHARE_EXCLUSIVE)
                        state |= SCARD_STATE_EXCLUSIVE;
                }
                std::vector<BYTE> atr = tokenAtr(r);
                q.cbAtr = (DWORD)atr.size();
                memcpy(q.atr, &atr[0], atr.size());
            }
            DWORD counter = r.events & 0xFFFF;
            q.event = state | (counter << 16);
            DWORD seenCounter = q.current >> 16;
            changed = (q.current & observable) != (state & observable) ||
                      (seenCounter != 0 && seenCounter != counter);
        }
    }
    if (changed)
        q.event |= SCARD_STATE_CHANGED;
    return changed;
}

LONG statusChange(Call& call, SCARDCONTEXT context, DWORD timeout, std::vector<Query>& queries)
{
    call.rec.context = context;
    if (call.injected)
        return call.injected;
    Context* ctx = findContext(context);
    if (!ctx)
        return SCARD_E_INVALID_HANDLE;
    DWORD cancels = ctx->cancels;
    bool infinite = timeout == INFINITE;
    ULONGLONG deadline = GetTickCount64() + timeout;
    for (;;) {
        bool any = false;
        for (size_t i = 0; i < queries.size(); ++i) {
            if (evaluate(queries[i]))
                any = true;
        }
        if (any)
            return SCARD_S_SUCCESS;
        if (!waitChange(infinite, deadline))
            return SCARD_E_TIMEOUT;
        ctx = findContext(context);
        if (!ctx || ctx->cancels != cancels)
            return SCARD_E_CANCELLED;
    }
}

template <typename ReaderState>
bool readQueries(ReaderState* states, DWORD count, bool wide, std::vector<Query>& queries)
{
    for (DWORD i = 0; i < count; ++i) {
        Query q;
        memset(q.atr, 0, sizeof q.atr);
        if (states[i].szReader == NULL)
            return false;
        if (wide)
            q.name = (const wchar_t*)states[i].szReader;
        else
            q.name = fromAnsi((LPCSTR)states[i].szReader);
        q.current = states[i].dwCurrentState;
        q.event = 0;
        q.cbAtr = states[i].cbAtr;
        if (q.cbAtr <= sizeof q.atr)
            memcpy(q.atr, states[i].rgbAtr, q.cbAtr);
        queries.push_back(q);
    }
    return true;
}

template <typename ReaderState>
void writeQueries(ReaderState* states, const std::vector<Query>& queries)
{
    for (size_t i = 0; i < queries.size(); ++i) {
        states[i].dwEventState = queries[i].event;
        if (queries[i].event & SCARD_STATE_IGNORE)
            continue;
        states[i].cbAtr = queries[i].cbAtr;
        memcpy(states[i].rgbAtr, queries[i].atr, sizeof states[i].rgbAtr);
    }
}

template <typename ReaderState>
LONG statusChangeEntry(int function, bool wide, SCARDCONTEXT context, DWORD timeout, ReaderState* states, DWORD count)
{
    try {
        Guard lock;
        Call call(function);
        std::vector<Query> queries;
        if (!call.injected && count != 0 && (states == NULL || !readQueries(states, count, wide, queries))) {
            call.rec.context = context;
            return call.done(SCARD_E_INVALID_PARAMETER);
        }
        LONG rc = statusChange(call, context, timeout, queries);
        if (rc == SCARD_S_SUCCESS || rc == SCARD_E_TIMEOUT)
            writeQueries(states, queries);
        return call.done(rc);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

} // namespace

// ---- exports -------------------------------------------------------------------

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2, LPSCARDCONTEXT phContext)
{
    (void)pvReserved1;
    (void)pvReserved2;
    try {
        Guard lock;
        Call call(VSCARD_FN_ESTABLISH_CONTEXT);
        if (call.injected)
            return call.done(call.injected);
        if (phContext == NULL)
            return call.done(SCARD_E_INVALID_PARAMETER);
        if (dwScope != SCARD_SCOPE_USER && dwScope != SCARD_SCOPE_TERMINAL && dwScope != SCARD_SCOPE_SYSTEM)
            return call.done(SCARD_E_INVALID_VALUE);
        g.nextContext += 4;
        SCARDCONTEXT h = g.nextContext;
        g.contexts[h] = Context();
        *phContext = h;
        call.rec.context = h;
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_RELEASE_CONTEXT);
        call.rec.context = hContext;
        if (call.injected)
            return call.done(call.injected);
        if (!findContext(hContext))
            return call.done(SCARD_E_INVALID_HANDLE);
        // Card handles die with their context.
        std::vector<SCARDHANDLE> owned;
        for (std::map<ULONG_PTR, Card>::const_iterator it = g.cards.begin(); it != g.cards.end(); ++it) {
            if (it->second.context == hContext)
                owned.push_back(it->first);
        }
        for (size_t i = 0; i < owned.size(); ++i)
            dropCard(owned[i]);
        g.contexts.erase(hContext);
        notifyChange();
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_IS_VALID_CONTEXT);
        call.rec.context = hContext;
        if (call.injected)
            return call.done(call.injected);
        return call.done(findContext(hContext) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR mszGroups, LPWSTR mszReaders, LPDWORD pcchReaders)
{
    (void)mszGroups; // every reader is in every group
    try {
        Guard lock;
        Call call(VSCARD_FN_LIST_READERS_W);
        return call.done(listReaders(call, hContext, true, mszReaders, pcchReaders));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders, LPDWORD pcchReaders)
{
    (void)mszGroups;
    try {
        Guard lock;
        Call call(VSCARD_FN_LIST_READERS_A);
        return call.done(listReaders(call, hContext, false, mszReaders, pcchReaders));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_FREE_MEMORY);
        call.rec.context = hContext;
        if (call.injected)
            return call.done(call.injected);
        if (pvMem == NULL)
            return call.done(SCARD_S_SUCCESS);
        // The context is not checked: freeing after SCardReleaseContext must not leak.
        std::map<void*, ULONG_PTR>::iterator it = g.allocations.find(const_cast<void*>(pvMem));
        if (it == g.allocations.end()) {
            reportProblem("vscard: SCardFreeMemory of memory this stack did not hand out\n");
            return call.done(SCARD_E_INVALID_PARAMETER);
        }
        HeapFree(GetProcessHeap(), 0, it->first);
        g.allocations.erase(it);
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_CONNECT_W);
        std::wstring name;
        if (szReader)
            name = szReader;
        return call.done(connectCard(call, hContext, szReader ? &name : NULL, dwShareMode, dwPreferredProtocols, phCard,
                                 pdwActiveProtocol));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_CONNECT_A);
        std::wstring name;
        if (szReader)
            name = fromAnsi(szReader);
        return call.done(connectCard(call, hContext, szReader ? &name : NULL, dwShareMode, dwPreferredProtocols, phCard,
                                 pdwActiveProtocol));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization,
                           LPDWORD pdwActiveProtocol)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_RECONNECT);
        Card* c = noteCard(call.rec, hCard);
        call.rec.shareMode = dwShareMode;
        call.rec.preferredProtocols = dwPreferredProtocols;
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        if (pdwActiveProtocol == NULL)
            return call.done(SCARD_E_INVALID_PARAMETER);
        if ((dwShareMode != SCARD_SHARE_SHARED && dwShareMode != SCARD_SHARE_EXCLUSIVE &&
             dwShareMode != SCARD_SHARE_DIRECT) ||
            !validDisposition(dwInitialization))
            return call.done(SCARD_E_INVALID_VALUE);
        Reader& r = g.readers[c->reader];
        DWORD active = 0;
        LONG rc = negotiate(r, dwShareMode, dwPreferredProtocols, &active);
        if (rc != SCARD_S_SUCCESS)
            return call.done(rc);
        if (sharingConflict(c->reader, dwShareMode, hCard))
            return call.done(SCARD_E_SHARING_VIOLATION);
        c->events = r.events;
        c->shareMode = dwShareMode;
        c->protocol = active;
        c->withToken = r.present;
        if (dwInitialization == SCARD_RESET_CARD || dwInitialization == SCARD_UNPOWER_CARD)
            r.fido.resetSession();
        notifyChange();
        *pdwActiveProtocol = active;
        call.rec.activeProtocol = active;
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_DISCONNECT);
        Card* c = noteCard(call.rec, hCard);
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        if (!validDisposition(dwDisposition))
            return call.done(SCARD_E_INVALID_VALUE);
        if (dwDisposition != SCARD_LEAVE_CARD)
            g.readers[c->reader].fido.resetSession();
        dropCard(hCard);
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_BEGIN_TRANSACTION);
        Card* c = noteCard(call.rec, hCard);
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        LONG rc = waitForTransaction(hCard, true);
        return call.done(rc);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_END_TRANSACTION);
        Card* c = noteCard(call.rec, hCard);
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        if (!validDisposition(dwDisposition))
            return call.done(SCARD_E_INVALID_VALUE);
        if (cardRemoved(*c))
            return call.done(SCARD_W_REMOVED_CARD);
        Reader& r = g.readers[c->reader];
        if (r.transactionOwner != hCard)
            return call.done(SCARD_E_NOT_TRANSACTED);
        r.transactionOwner = 0;
        notifyChange();
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                          LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_TRANSMIT);
        Record& rec = call.rec;
        noteCard(rec, hCard);
        rec.sendProtocol = pioSendPci ? pioSendPci->dwProtocol : VSCARD_NO_PCI;
        if (pbSendBuffer && cbSendLength)
            rec.command.assign(pbSendBuffer, pbSendBuffer + cbSendLength);
        if (call.injected)
            return call.done(call.injected);
        if (!findCard(hCard))
            return call.done(SCARD_E_INVALID_HANDLE);
        if (pioSendPci == NULL || pioSendPci->cbPciLength < sizeof(SCARD_IO_REQUEST) || pbSendBuffer == NULL ||
            cbSendLength == 0 || pbRecvBuffer == NULL || pcbRecvLength == NULL)
            return call.done(SCARD_E_INVALID_PARAMETER);

        // Another handle's transaction holds the reader until it ends.
        LONG rc = waitForTransaction(hCard, false);
        if (rc != 0)
            return call.done(rc);
        Card* c = findCard(hCard);
        Reader& r = g.readers[c->reader];
        if (!c->withToken)
            return call.done(SCARD_E_NO_SMARTCARD);
        if (pioSendPci->dwProtocol != c->protocol)
            return call.done(SCARD_E_INVALID_VALUE);

        // A FIDO exchange moves on with each answer; one the caller cannot take is not given.
        const bool fidoStep = cbSendLength >= 2 && (pbSendBuffer[1] == 0xA4 || pbSendBuffer[1] == 0x10 ||
                                                    pbSendBuffer[1] == 0x11 || pbSendBuffer[1] == 0xC0);
        FidoToken before;
        if (fidoStep)
            before = r.fido;
        DWORD delayMs = 0;
        std::vector<BYTE> answer = tokenAnswer(r, pbSendBuffer, cbSendLength, &delayMs);
        if (delayMs != 0) {
            // A slow token: other calls go on meanwhile; the card may be gone afterwards.
            const ULONGLONG deadline = GetTickCount64() + delayMs;
            while (waitChange(false, deadline)) {
                c = findCard(hCard);
                if (!c || cardRemoved(*c))
                    break; // pulled: the answer will never come
            }
            c = findCard(hCard);
            if (!c)
                return call.done(SCARD_E_INVALID_HANDLE);
            if (cardRemoved(*c))
                return call.done(SCARD_W_REMOVED_CARD);
        }
        Reader& answering = g.readers[c->reader];
        if (answer.size() > *pcbRecvLength) {
            if (fidoStep)
                answering.fido = before;
            *pcbRecvLength = (DWORD)answer.size();
            return call.done(SCARD_E_INSUFFICIENT_BUFFER);
        }
        if (!answer.empty())
            memcpy(pbRecvBuffer, &answer[0], answer.size());
        *pcbRecvLength = (DWORD)answer.size();
        if (pioRecvPci)
            pioRecvPci->dwProtocol = c->protocol;
        rec.answer = answer;
        if (answering.pullAfter > 0 && --answering.pullAfter == 0)
            removeToken(answering);
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID lpInBuffer, DWORD nInBufferSize,
                         LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned)
{
    (void)dwControlCode;
    (void)lpInBuffer;
    (void)nInBufferSize;
    (void)lpOutBuffer;
    (void)nOutBufferSize;
    try {
        Guard lock;
        Call call(VSCARD_FN_CONTROL);
        Card* c = noteCard(call.rec, hCard);
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        if (lpBytesReturned)
            *lpBytesReturned = 0;
        // What a reader driver answers to a control code it does not know.
        return call.done(ERROR_INVALID_FUNCTION);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardStatusW(SCARDHANDLE hCard, LPWSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_STATUS_W);
        return call.done(status(call, hCard, true, szReaderName, pcchReaderLen, pdwState, pdwProtocol, pbAtr,
                                         pcbAtrLen));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_STATUS_A);
        return call.done(status(call, hCard, false, szReaderName, pcchReaderLen, pdwState, pdwProtocol, pbAtr,
                                      pcbAtrLen));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEW rgReaderStates,
                                  DWORD cReaders)
{
    return statusChangeEntry(VSCARD_FN_GET_STATUS_CHANGE_W, true, hContext, dwTimeout, rgReaderStates, cReaders);
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEA rgReaderStates,
                                  DWORD cReaders)
{
    return statusChangeEntry(VSCARD_FN_GET_STATUS_CHANGE_A, false, hContext, dwTimeout, rgReaderStates, cReaders);
}

LONG WINAPI SCardCancel(SCARDCONTEXT hContext)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_CANCEL);
        call.rec.context = hContext;
        if (call.injected)
            return call.done(call.injected);
        Context* ctx = findContext(hContext);
        if (!ctx)
            return call.done(SCARD_E_INVALID_HANDLE);
        ++ctx->cancels;
        notifyChange();
        return call.done(SCARD_S_SUCCESS);
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

LONG WINAPI SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen)
{
    try {
        Guard lock;
        Call call(VSCARD_FN_GET_ATTRIB);
        Card* c = noteCard(call.rec, hCard);
        if (call.injected)
            return call.done(call.injected);
        if (!c)
            return call.done(SCARD_E_INVALID_HANDLE);
        if (cardRemoved(*c))
            return call.done(SCARD_W_REMOVED_CARD);
        const Reader& r = g.readers[c->reader];
        std::vector<BYTE> value;
        if (dwAttrId == SCARD_ATTR_ATR_STRING) {
            if (!r.present)
                return call.done(SCARD_E_NO_SMARTCARD);
            value = tokenAtr(r);
        } else if (dwAttrId == SCARD_ATTR_CURRENT_PROTOCOL_TYPE) {
            value.resize(sizeof(DWORD));
            memcpy(&value[0], &c->protocol, sizeof(DWORD));
        } else if (dwAttrId == SCARD_ATTR_DEVICE_FRIENDLY_NAME_W || dwAttrId == SCARD_ATTR_DEVICE_SYSTEM_NAME_W) {
            const BYTE* p = (const BYTE*)r.name.c_str();
            value.assign(p, p + (r.name.size() + 1) * sizeof(wchar_t));
        } else {
            return call.done(SCARD_E_UNSUPPORTED_FEATURE);
        }
        return call.done(putOutput(c->context, &value[0], (DWORD)value.size(), 1, pbAttr, pcbAttrLen));
    } catch (...) {
        return SCARD_E_NO_MEMORY;
    }
}

HANDLE WINAPI SCardAccessStartedEvent(void)
{
    try {
        Guard lock;
        ensureInit(true);
        // The service is always "running".
        if (g.startedEvent == NULL)
            g.startedEvent = CreateEventW(NULL, TRUE, TRUE, NULL);
        return g.startedEvent;
    } catch (...) {
        return NULL;
    }
}

void WINAPI SCardReleaseStartedEvent(void)
{
}
