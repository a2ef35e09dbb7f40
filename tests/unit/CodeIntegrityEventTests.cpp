#include "CodeIntegrityEventFormat.h"

#include <gtest/gtest.h>

#include <string>

// What is read from an event's XML: only its own text, never past the length given.
TEST(CodeIntegrityEvent, TheIdTheFileAndTheTimeAreRead)
{
    const std::wstring ours = L"<Data Name='FileNameBuffer'>\\Device\\HarddiskVolume3\\Windows\\System32\\VelkorSubAuth.dll</Data>";
    const std::wstring time = L"<TimeCreated SystemTime='2025-03-04T05:06:07.1234567Z'/>";
    const struct
    {
        const char* label;
        std::wstring xml;
        unsigned long id;
        bool ours;
        std::wstring time;
    } cases[] = {
        { "refusal", L"<EventID>3033</EventID>" + time + ours, 3033, true, L"2025-03-04 05:06:07 UTC" },
        { "ID with qualifiers, name in another case, time in double quotes",
          L"<EventID Qualifiers='0'>3065</EventID><TimeCreated SystemTime=\"2025-12-31T23:59:59Z\"/>"
          L"<Data>C:/windows/system32/VELKORSUBAUTH.DLL</Data>",
          3065, true, L"2025-12-31 23:59:59 UTC" },
        { "a longer name that ends like ours", L"<EventID>3033</EventID><Data>C:\\x\\NotVelkorSubAuth.dll</Data>", 3033, false, L"" },
        { "ours with more after it", L"<EventID>3033</EventID><Data>C:\\x\\VelkorSubAuth.dll.bak</Data>", 3033, false, L"" },
        { "a time that is not one", L"<EventID>3063</EventID><TimeCreated SystemTime='2025-3-04T05:06:07Z'/>" + ours, 3063, true, L"" },
        { "an ID of too many digits", L"<EventID>303300</EventID>" + ours, 0, true, L"" },
        { "cut inside the time", L"<EventID>3066</EventID><TimeCreated SystemTime='2025-03-04T05", 3066, false, L"" },
        { "empty", L"", 0, false, L"" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        const CODE_INTEGRITY_EVENT_FACTS facts = ReadCodeIntegrityEvent(c.xml.data(), c.xml.size());
        EXPECT_EQ(c.id, facts.eventId);
        EXPECT_EQ(c.ours, facts.namesPackage);
        EXPECT_EQ(c.time, std::wstring(facts.szTime));
    }
    // A length that ends inside the name: what lies beyond it is not looked at.
    const std::wstring refusal = L"<EventID>3033</EventID>" + time + ours;
    EXPECT_FALSE(ReadCodeIntegrityEvent(refusal.data(), refusal.size() - 8).namesPackage);
}
