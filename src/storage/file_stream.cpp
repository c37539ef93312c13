#include "storage/file_stream.h"

namespace brindle {

int FileStream::WriteByte(uint8_t value) { return Write(&value, 1, 1) == 1 ? 1 : 0; }

int FileStream::Seek(int64_t offset, SeekOrigin origin)
{
    // Bounded first, so that the sum below cannot overflow.
    if (!IsOpen() || offset < -int64_t(UINT32_MAX) || offset > int64_t(UINT32_MAX))
        return 0;
    const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? Position() : Size();
    const int64_t target = base + offset;
    if (target < 0 || target > int64_t(UINT32_MAX))
        return 0;
    return MoveTo(uint32_t(target));
}

uint32_t FileStream::RequestBytes(const void* buffer, uint32_t itemSize, uint32_t count)
{
    if (!buffer || itemSize == 0 || count == 0)
        return 0;
    const uint64_t bytes = uint64_t(itemSize) * count;
    return bytes > UINT32_MAX ? 0 : uint32_t(bytes);
}

}  // namespace brindle
