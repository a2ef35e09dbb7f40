// Reader name lists as PC/SC reports them: any characters, any reported length, the
// final empty name or its terminator missing. The input is one byte for the number of
// slots, one for which names the sink refuses, then UTF-16 units: the multi-string, in a
// block of exactly the reported length.
#include "FuzzInput.h"
#include "ReaderList.h"

#include <string>
#include <vector>

namespace
{
    struct Walk
    {
        const wchar_t* begin;
        size_t length;
        uint8_t refuseMask;
        size_t offered = 0;
        std::vector<std::wstring> kept;
    };

    bool Sink(void* context, const wchar_t* name, size_t cchName)
    {
        Walk& walk = *static_cast<Walk*>(context);
        // The name lies inside the block and ends at a terminator inside it.
        FUZZ_CHECK(name >= walk.begin);
        const size_t offset = static_cast<size_t>(name - walk.begin);
        FUZZ_CHECK(cchName > 0 && offset + cchName < walk.length);
        FUZZ_CHECK(name[cchName] == L'\0');
        const bool fRefused = (walk.refuseMask >> (walk.offered++ % 8)) & 1;
        if (fRefused) return false;
        walk.kept.emplace_back(name, cchName);
        FUZZ_CHECK(walk.kept.back().find(L'\0') == std::wstring::npos);
        return true;
    }

    // Every complete name before the first empty one, in order.
    std::vector<std::wstring> CompleteNames(const std::vector<wchar_t>& block)
    {
        std::vector<std::wstring> names;
        std::wstring current;
        for (wchar_t ch : block)
        {
            if (ch != L'\0')
            {
                current += ch;
                continue;
            }
            if (current.empty()) break;
            names.push_back(current);
            current.clear();
        }
        return names;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const size_t maxKept = input.Byte() % 24;
    const uint8_t refuseMask = input.Byte();
    std::vector<wchar_t> block;
    while (input.Remaining() >= 2) block.push_back(static_cast<wchar_t>(input.Word()));
    // An odd last byte stands for the reported length running one short.
    const bool fShortReport = input.Remaining() == 1 && !block.empty();
    const size_t reported = block.size() - (fShortReport ? 1 : 0);
    block.resize(reported);
    const std::unique_ptr<wchar_t[]> exact = ExactCopy(block.data(), reported);

    Walk walk{ exact.get(), reported, refuseMask, 0, {} };
    const size_t kept = ForEachReaderName(walk.begin, reported, maxKept, Sink, &walk);
    FUZZ_CHECK(kept == walk.kept.size());
    FUZZ_CHECK(kept <= maxKept);

    // What the sink was offered is the list's names in order, stopping only when full.
    const std::vector<std::wstring> names = CompleteNames(block);
    FUZZ_CHECK(walk.offered <= names.size());
    FUZZ_CHECK(walk.offered == names.size() || kept == maxKept);
    size_t next = 0;
    for (size_t i = 0; i < walk.offered; ++i)
    {
        if ((refuseMask >> (i % 8)) & 1) continue;
        FUZZ_CHECK(walk.kept[next++] == names[i]);
    }
    return 0;
}
