#include "ReaderList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
    struct Listing
    {
        std::vector<std::wstring> names;
        std::vector<size_t> lengths;
        size_t refuseEvery = 0; // refuse every n-th name offered (1-based); 0 keeps all
        size_t offered = 0;
    };

    bool Keep(void* context, const wchar_t* name, size_t length)
    {
        Listing& listing = *static_cast<Listing*>(context);
        ++listing.offered;
        if (listing.refuseEvery != 0 && listing.offered % listing.refuseEvery == 0) return false;
        listing.names.emplace_back(name);
        listing.lengths.push_back(length);
        return true;
    }

    Listing Walk(const std::wstring& multi, size_t reported, size_t maxKept = 20, size_t refuseEvery = 0,
                 size_t* kept = nullptr)
    {
        Listing listing;
        listing.refuseEvery = refuseEvery;
        // Only the reported characters are allocated, so a read beyond them is caught
        // by the sanitizers of the native build.
        std::vector<wchar_t> buffer(multi.begin(), multi.begin() + static_cast<std::ptrdiff_t>(reported));
        const size_t count = ForEachReaderName(buffer.empty() ? L"" : buffer.data(), reported, maxKept, Keep, &listing);
        if (kept != nullptr) *kept = count;
        return listing;
    }

    std::wstring Multi(std::initializer_list<const wchar_t*> names)
    {
        std::wstring multi;
        for (const wchar_t* name : names)
        {
            multi += name;
            multi += L'\0';
        }
        multi += L'\0';
        return multi;
    }
}

TEST(ReaderList, NamesInOrderUpToTheEmptyName)
{
    const std::wstring multi = Multi({ L"First", L"Second reader", L"3" });
    size_t kept = 0;
    const Listing listing = Walk(multi, multi.size(), 20, 0, &kept);
    EXPECT_EQ(3u, kept);
    EXPECT_EQ((std::vector<std::wstring>{ L"First", L"Second reader", L"3" }), listing.names);
    EXPECT_EQ((std::vector<size_t>{ 5, 13, 1 }), listing.lengths);

    std::wstring afterEnd = multi + L"Hidden" + L'\0' + L'\0';
    EXPECT_EQ(3u, Walk(afterEnd, afterEnd.size()).names.size()) << "nothing after the empty name";
}

TEST(ReaderList, EmptyListsGiveNoName)
{
    size_t kept = 1;
    EXPECT_TRUE(Walk(std::wstring(1, L'\0'), 1, 20, 0, &kept).names.empty());
    EXPECT_EQ(0u, kept);
    EXPECT_TRUE(Walk(std::wstring(2, L'\0'), 2).names.empty());
    EXPECT_TRUE(Walk(L"", 0).names.empty());
    Listing listing;
    EXPECT_EQ(0u, ForEachReaderName(nullptr, 10, 20, Keep, &listing));
    EXPECT_EQ(0u, listing.offered);
    EXPECT_EQ(0u, ForEachReaderName(L"A\0", 3, 20, nullptr, &listing));
}

TEST(ReaderList, NeverReadsPastTheReportedLength)
{
    const std::wstring multi = Multi({ L"One", L"Two" });
    // The whole list; without the final empty name; cut inside, at and after "Two".
    EXPECT_EQ(2u, Walk(multi, 9).names.size());
    EXPECT_EQ(2u, Walk(multi, 8).names.size());
    EXPECT_EQ((std::vector<std::wstring>{ L"One" }), Walk(multi, 7).names) << "Two has no terminator within 7";
    EXPECT_EQ(1u, Walk(multi, 5).names.size());
    EXPECT_EQ(1u, Walk(multi, 4).names.size());
    EXPECT_TRUE(Walk(multi, 3).names.empty()) << "One has no terminator within 3";
    EXPECT_TRUE(Walk(L"Unterminated", 12).names.empty());
}

TEST(ReaderList, StopsOnceTheSlotsAreFull)
{
    std::wstring multi;
    for (int i = 0; i < 25; ++i)
    {
        multi += L"Reader " + std::to_wstring(i);
        multi += L'\0';
    }
    multi += L'\0';
    size_t kept = 0;
    const Listing listing = Walk(multi, multi.size(), 20, 0, &kept);
    ASSERT_EQ(20u, kept);
    EXPECT_EQ(L"Reader 19", listing.names.back());
    EXPECT_EQ(20u, listing.offered) << "no name is offered once the slots are full";
    EXPECT_EQ(0u, Walk(multi, multi.size(), 0).offered);
}

TEST(ReaderList, ARefusedNameLeavesItsPlaceToTheNext)
{
    std::wstring multi;
    for (int i = 0; i < 30; ++i)
    {
        multi += L"R" + std::to_wstring(i);
        multi += L'\0';
    }
    multi += L'\0';
    size_t kept = 0;
    // Every third name offered is refused, as when its copy cannot be allocated.
    const Listing listing = Walk(multi, multi.size(), 20, 3, &kept);
    ASSERT_EQ(20u, kept);
    ASSERT_EQ(20u, listing.names.size());
    EXPECT_EQ(L"R3", listing.names[2]) << "R2 was refused";
    EXPECT_EQ(L"R28", listing.names.back());
    EXPECT_EQ(29u, listing.offered);
}
