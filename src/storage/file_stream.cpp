#include "storage/file_stream.h"

namespace brindle {

int FileStream::ReadByte()
{
    uint8_t value = 0;
    return Read(&value, 1, 1) == 1 ? value : -1;
}

int FileStream::WriteByte(uint8_t value) { return Write(&value, 1, 1) == 1 ? 1 : 0; }

uint32_t FileStream::RequestBytes(const void* buffer, uint32_t itemSize, uint32_t count)
{
    if (!buffer || itemSize == 0 || count == 0)
        return 0;
    const uint64_t bytes = uint64_t(itemSize) * count;
    return bytes > UINT32_MAX ? 0 : uint32_t(bytes);
}

}  // namespace brindle
