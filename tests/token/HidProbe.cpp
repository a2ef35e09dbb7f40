// A program for the tests of the virtual HID keys: finds the HID devices the way a product
// does and says what each one is. It imports winscard.dll and never calls it, like a
// program whose USB path runs before any PC/SC call: the virtual stack must stand in for
// the system from the moment it is loaded.
#include "HidTestClient.h"

#include <winscard.h>

#include <cstdio>

int main()
{
    volatile auto imported = &SCardEstablishContext;
    (void)imported;
    for (const std::wstring& path : hidtest::EnumerateHid())
    {
        hidtest::CHidTestKey info(path, 0);
        const std::wstring product = info.Product();
        HIDP_CAPS caps = {};
        info.Caps(&caps);
        hidtest::CHidTestKey key(path);
        if (!key.IsOpen())
            printf("%ls: not opened, error %lu\n", product.c_str(), key.openError);
        else if (caps.UsagePage != 0xF1D0 || caps.Usage != 0x01)
            printf("%ls: not FIDO\n", product.c_str());
        else if (const DWORD cid = key.Init())
            printf("%ls: FIDO, channel %08lX\n", product.c_str(), cid);
        else
            printf("%ls: FIDO, no answer to INIT\n", product.c_str());
    }
    fflush(stdout);
    return 0;
}
