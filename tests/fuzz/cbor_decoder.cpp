// The canonical CBOR check and the reader. An accepted item is walked with the reader
// and written again with the writer: canonical CBOR has one encoding per value, so the
// bytes must come back unchanged. Every strict prefix of an accepted item is refused.
#include "CborReader.h"
#include "CborWriter.h"
#include "FuzzInput.h"

#include <cstring>
#include <vector>

namespace
{
    // Reads one item and writes it again; false where the reader refuses.
    bool Copy(const uint8_t* pbBase, CCborReader& reader, CCborWriter& writer)
    {
        CborType type;
        if (!reader.PeekType(&type)) return false;
        const size_t start = reader.Offset();
        int64_t integer;
        uint64_t value;
        const uint8_t* pb;
        const char* pch;
        size_t cb;
        bool flag;
        switch (type)
        {
        case CborType::Unsigned:
            if (!reader.ReadUnsigned(&value)) return false;
            writer.WriteUnsigned(value);
            return true;
        case CborType::Negative:
            if (reader.ReadInteger(&integer))
            {
                writer.WriteInteger(integer);
                return true;
            }
            // Below INT64_MIN: copied as it is.
            FUZZ_CHECK(reader.Offset() == start && reader.SkipItem());
            writer.WriteEncoded(pbBase + start, reader.Offset() - start);
            return true;
        case CborType::Bytes:
            if (!reader.ReadBytes(&pb, &cb)) return false;
            writer.WriteBytes(pb, cb);
            return true;
        case CborType::Text:
            if (!reader.ReadText(&pch, &cb)) return false;
            writer.WriteText(pch, cb);
            return true;
        case CborType::Array:
        case CborType::Map:
        {
            size_t count;
            if (type == CborType::Array ? !reader.ReadArrayHeader(&count) : !reader.ReadMapHeader(&count)) return false;
            type == CborType::Array ? writer.WriteArrayHeader(count) : writer.WriteMapHeader(count);
            const size_t items = type == CborType::Array ? count : 2 * count;
            for (size_t i = 0; i < items; ++i)
            {
                if (!Copy(pbBase, reader, writer)) return false;
            }
            return true;
        }
        default:
            if (reader.ReadBoolean(&flag))
            {
                writer.WriteBoolean(flag);
                return true;
            }
            // null: no reader call of its own
            if (!reader.SkipItem() || pbBase[start] != 0xF6) return false;
            writer.WriteEncoded(pbBase + start, 1);
            return true;
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::unique_ptr<uint8_t[]> input = ExactCopy(data, size);
    size_t cbItem = 0;
    if (!CheckCanonicalCbor(input.get(), size, &cbItem)) return 0;
    FUZZ_CHECK(cbItem >= 1 && cbItem <= size);

    std::vector<uint8_t> copy(cbItem);
    CCborReader reader(input.get(), cbItem);
    CCborWriter writer(copy.data(), copy.size());
    FUZZ_CHECK(Copy(input.get(), reader, writer));
    FUZZ_CHECK(reader.Remaining() == 0);
    FUZZ_CHECK(!writer.Failed());
    FUZZ_CHECK(writer.Length() == cbItem);
    FUZZ_CHECK(std::memcmp(copy.data(), input.get(), cbItem) == 0);

    // A prefix of an item is never an item.
    const size_t cut = cbItem - 1 - (size > cbItem ? data[cbItem] % cbItem : 0);
    size_t cbPrefix;
    const std::unique_ptr<uint8_t[]> prefix = ExactCopy(data, cut);
    FUZZ_CHECK(!CheckCanonicalCbor(prefix.get(), cut, &cbPrefix));
    return 0;
}
