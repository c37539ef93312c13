#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/reserved_file.h"
#include "storage/unique_fd.h"

#include "storage/mapped_file_stream.h"
#include "storage/memory_block_stream.h"
#include "storage/plain_file_stream.h"
#include "support/test_support.h"

namespace brindle {
namespace {

// The next byte 0..255, or -1 when none was read.
int ReadOne(FileStream& stream)
{
    uint8_t value = 0;
    return stream.Read(&value, 1, 1) == 1 ? value : -1;
}

using test::ReadFileBytes;
using test::WriteFileBytes;

class FileStreamTest : public test::TempDirTest {};

TEST_F(FileStreamTest, MappedWriteStartsAt4096AndIsCutAtClose)
{
    const auto path = PathOf("out.wav");
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForWriting(path, 4096), 1);
    EXPECT_EQ(std::filesystem::file_size(path), 4096u);
    std::vector<uint8_t> header(44, 0xAB), data(12, 0xCD);
    EXPECT_EQ(stream.Write(header.data(), 44, 1), 1u);
    EXPECT_EQ(stream.Write(data.data(), 4, 3), 3u);
    EXPECT_EQ(stream.Size(), 56u);
    stream.Close();
    const auto bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(bytes[43], 0xAB);
    EXPECT_EQ(bytes[44], 0xCD);
}

TEST_F(FileStreamTest, MappedWriteGrowsByWholeWindows)
{
    const auto path = PathOf("big");
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForWriting(path, 4096), 1);
    std::vector<uint8_t> chunk(3000);
    uint32_t written = 0;
    for (int i = 0; written < kStreamWindowBytes + 10; ++i) {
        std::fill(chunk.begin(), chunk.end(), uint8_t(i));
        ASSERT_EQ(stream.Write(chunk.data(), 1, uint32_t(chunk.size())), chunk.size());
        written += uint32_t(chunk.size());
        const auto fileSize = std::filesystem::file_size(path);
        ASSERT_TRUE(fileSize == 4096 || fileSize % kStreamWindowBytes == 0) << fileSize;
    }
    EXPECT_EQ(std::filesystem::file_size(path), 2u * kStreamWindowBytes);
    // Overwrite across the first window boundary, then read it back after close.
    ASSERT_EQ(stream.Seek(kStreamWindowBytes - 2, SeekOrigin::Begin), 1);
    const uint8_t marks[4] = {1, 2, 3, 4};
    ASSERT_EQ(stream.Write(marks, 4, 1), 1u);
    stream.Close();
    const auto bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), written);
    EXPECT_EQ(bytes[kStreamWindowBytes - 2], 1);
    EXPECT_EQ(bytes[kStreamWindowBytes + 1], 4);
    EXPECT_EQ(bytes[2999], 0);
    EXPECT_EQ(bytes[3000], 1);
}

TEST_F(FileStreamTest, MappedReadAcrossWindowsAndAtTheEnd)
{
    const auto path = PathOf("in");
    std::vector<unsigned char> content(kStreamWindowBytes * 2 + 7);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<unsigned char>(i * 7 + i / 251);
    WriteFileBytes(path, content);

    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForReading(path), 1);
    ASSERT_EQ(stream.Size(), content.size());
    std::vector<unsigned char> got(content.size());
    ASSERT_EQ(stream.Seek(kStreamWindowBytes - 5, SeekOrigin::Begin), 1);
    ASSERT_EQ(stream.Read(got.data(), 10, 1), 1u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, content.begin() + kStreamWindowBytes - 5));

    ASSERT_EQ(stream.Seek(-5, SeekOrigin::End), 1);
    EXPECT_EQ(stream.Read(got.data(), 2, 10), 2u) << "only whole items that remain";
    EXPECT_EQ(got[4], content.back()) << "the partial item's bytes are copied and consumed";
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(stream.Read(got.data(), 1, 1), 0u);
    EXPECT_EQ(ReadOne(stream), -1);
    ASSERT_EQ(stream.Seek(100, SeekOrigin::End), 1) << "seeking past the end is allowed";
    EXPECT_GT(stream.Position(), stream.Size());
    EXPECT_EQ(stream.Read(got.data(), 1, 1), 0u);
    EXPECT_EQ(stream.Seek(-1, SeekOrigin::Begin), 0);
    EXPECT_EQ(stream.Write(got.data(), 1, 1), 0u) << "a read stream never writes";
    stream.Close();
    EXPECT_EQ(ReadFileBytes(path), content);
}

TEST_F(FileStreamTest, ReadStreamNeedsOnlyReadPermissionAndNeverChangesTheFile)
{
    const auto path = PathOf("readonly.wav");
    const std::vector<unsigned char> content(5001, 0x5A);
    WriteFileBytes(path, content);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    {
        MappedFileStream mapped;
        ASSERT_EQ(mapped.OpenForReading(path), 1);
        std::vector<unsigned char> got(5001);
        EXPECT_EQ(mapped.Read(got.data(), 1, 5001), 5001u);
        EXPECT_EQ(got, content);
    }
    {
        PlainFileStream plain;
        ASSERT_EQ(plain.OpenForReading(path), 1);
        EXPECT_EQ(plain.Size(), 5001u);
        EXPECT_EQ(plain.Write(content.data(), 1, 1), 0u);
    }
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ReadFileBytes(path), content);
}

TEST_F(FileStreamTest, ReadStreamOpensAFileThatCannotBeWrittenAtAll)
{
    const auto path = PathOf("locked.wav");
    WriteFileBytes(path, std::vector<unsigned char>(70000, 0x33));
    test::ImmutableFile lock(path);
    if (!lock.IsSet())
        GTEST_SKIP() << "this file system cannot mark files immutable";
    ASSERT_LT(::open(path.c_str(), O_RDWR), 0) << "the file must refuse writers for this test to mean anything";
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForReading(path), 1);
    std::vector<unsigned char> got(70000);
    EXPECT_EQ(stream.Read(got.data(), 1, 70000), 70000u);
    EXPECT_EQ(got[69999], 0x33);
}

TEST_F(FileStreamTest, WritesNeverReachPastTheReservedSize)
{
    const auto path = PathOf("reserved");
    ReservedFile file;
    ASSERT_EQ(file.Open(path, OpenMode::CreateOrTruncate), 1);
    ASSERT_EQ(file.Reserve(100000), 1);
    EXPECT_EQ(std::filesystem::file_size(path), 100000u) << "the file is grown to the reserved size";
    EXPECT_EQ(file.WriteAt(99990, "0123456789A", 11), 0) << "writes stay inside the reserved size";
    EXPECT_EQ(std::filesystem::file_size(path), 100000u);

    ReservedFile readOnly;
    WriteFileBytes(PathOf("small"), {1, 2, 3});
    ASSERT_EQ(readOnly.Open(PathOf("small"), OpenMode::ReadOnly), 1);
    EXPECT_EQ(readOnly.Reserve(4096), 0) << "a read-only file is never grown";
    EXPECT_EQ(std::filesystem::file_size(PathOf("small")), 3u);
}

TEST_F(FileStreamTest, MissingAndEmptyFiles)
{
    MappedFileStream stream;
    EXPECT_EQ(stream.OpenForReading(PathOf("missing")), 0);
    EXPECT_FALSE(std::filesystem::exists(PathOf("missing"))) << "opening for reading never creates";
    EXPECT_EQ(stream.OpenForReading(""), 0);
    EXPECT_EQ(stream.OpenForReading(Dir()), 0) << "a folder is not a file";

    WriteFileBytes(PathOf("empty"), {});
    ASSERT_EQ(stream.OpenForReading(PathOf("empty")), 1);
    EXPECT_TRUE(stream.IsAtEnd());
    uint8_t byte = 0;
    EXPECT_EQ(stream.Read(&byte, 1, 1), 0u);
    EXPECT_EQ(stream.OpenForReading(PathOf("empty")), 0) << "already open";
    stream.Close();
    EXPECT_EQ(std::filesystem::file_size(PathOf("empty")), 0u);

    EXPECT_EQ(stream.OpenForWriting(PathOf("zero"), 0), 0);
    ASSERT_EQ(stream.OpenForWriting(PathOf("nothing"), 4096), 1);
    stream.Close();
    EXPECT_EQ(std::filesystem::file_size(PathOf("nothing")), 0u) << "cut to the bytes written";
}

TEST_F(FileStreamTest, MappedWriteOnFullDiskFailsCleanly)
{
    const auto path = PathOf("full");
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForWriting(path, 4096), 1);
    std::vector<uint8_t> chunk(100000, 1);
    {
        test::FileSizeLimit limit(200000);
        EXPECT_EQ(stream.Write(chunk.data(), 1, 4000), 4000u);
        EXPECT_EQ(stream.Write(chunk.data(), 1, 100000), 0u) << "growing to a whole window fails";
    }
    stream.Close();
    EXPECT_EQ(std::filesystem::file_size(path), 4000u) << "what was written survives";
}

TEST_F(FileStreamTest, PlainStreamReadsWritesAndSeeks)
{
    const auto path = PathOf("plain");
    PlainFileStream out;
    ASSERT_EQ(out.OpenForWriting(path), 1);
    EXPECT_EQ(out.OpenForWriting(path), 0) << "already open";
    const char text[] = "RIFFxxxxWAVE";
    EXPECT_EQ(out.Write(text, 4, 3), 3u);
    EXPECT_EQ(out.WriteByte('!'), 1);
    out.Close();

    PlainFileStream in;
    ASSERT_EQ(in.OpenForReading(path), 1);
    EXPECT_EQ(in.Size(), 13u);
    char got[8] = {};
    EXPECT_EQ(in.Read(got, 4, 2), 2u);
    EXPECT_EQ(std::string(got, 8), "RIFFxxxx");
    EXPECT_EQ(in.Read(got, 4, 2), 1u) << "5 bytes left: one whole item";
    EXPECT_EQ(in.Seek(-1, SeekOrigin::End), 1);
    EXPECT_EQ(ReadOne(in), '!');
    EXPECT_TRUE(in.IsAtEnd());
    EXPECT_EQ(in.Seek(-20, SeekOrigin::Current), 0);
    EXPECT_EQ(in.Read(nullptr, 1, 1), 0u);
    EXPECT_EQ(PlainFileStream().OpenForReading(PathOf("missing")), 0);
}

TEST_F(FileStreamTest, MemoryBlockStreamStaysInsideItsBlock)
{
    uint8_t block[6] = {1, 2, 3, 4, 5, 6};
    MemoryBlockStream stream;
    EXPECT_EQ(stream.Attach(nullptr, 6), 0);
    EXPECT_EQ(stream.Attach(block, 0), 0);
    ASSERT_EQ(stream.AttachWritable(block, 6), 1);
    EXPECT_EQ(stream.Attach(block, 6), 0) << "already attached";
    uint8_t got[4] = {};
    EXPECT_EQ(stream.Read(got, 4, 1), 1u);
    EXPECT_EQ(stream.Read(got, 4, 1), 0u) << "two bytes left, item of four";
    EXPECT_EQ(stream.Read(got, 1, 4), 2u);
    ASSERT_EQ(stream.Seek(5, SeekOrigin::Begin), 1);
    const uint8_t nine[2] = {9, 9};
    EXPECT_EQ(stream.Write(nine, 1, 2), 1u);
    EXPECT_EQ(block[5], 9);
    ASSERT_EQ(stream.Seek(2, SeekOrigin::End), 1);
    EXPECT_EQ(stream.Write(nine, 1, 1), 0u) << "a block never grows";
}

TEST_F(FileStreamTest, EveryStreamSeeksByTheSameRule)
{
    // The same six bytes behind each kind of stream; every seek below must come out the same.
    const std::vector<unsigned char> content = {1, 2, 3, 4, 5, 6};
    WriteFileBytes(PathOf("six"), content);
    PlainFileStream plain;
    ASSERT_EQ(plain.OpenForReading(PathOf("six")), 1);
    MappedFileStream mapped;
    ASSERT_EQ(mapped.OpenForReading(PathOf("six")), 1);
    MemoryBlockStream memory;
    ASSERT_EQ(memory.Attach(content.data(), 6), 1);

    for (FileStream* stream : std::initializer_list<FileStream*>{&plain, &mapped, &memory}) {
        SCOPED_TRACE(stream == &plain ? "plain" : stream == &mapped ? "mapped" : "memory");
        ASSERT_EQ(stream->Seek(6, SeekOrigin::Begin), 1) << "exactly the end";
        EXPECT_TRUE(stream->IsAtEnd());
        EXPECT_LE(stream->Position(), stream->Size());
        EXPECT_EQ(ReadOne(*stream), -1);
        ASSERT_EQ(stream->Seek(0, SeekOrigin::End), 1);
        EXPECT_EQ(stream->Position(), 6u);
        ASSERT_EQ(stream->Seek(10, SeekOrigin::Current), 1) << "past the end";
        EXPECT_EQ(stream->Position(), 16u);
        EXPECT_GT(stream->Position(), stream->Size());
        EXPECT_EQ(ReadOne(*stream), -1);
        EXPECT_EQ(stream->Seek(-17, SeekOrigin::Current), 0) << "before the start";
        EXPECT_EQ(stream->Position(), 16u) << "a refused seek leaves the position";
        EXPECT_EQ(stream->Seek(int64_t(UINT32_MAX) - 5, SeekOrigin::End), 0) << "beyond 32 bits";
        ASSERT_EQ(stream->Seek(-1, SeekOrigin::End), 1);
        EXPECT_EQ(ReadOne(*stream), 6);
        ASSERT_EQ(stream->Rewind(), 1);
        EXPECT_EQ(ReadOne(*stream), 1);
        stream->Close();
        EXPECT_EQ(stream->Seek(0, SeekOrigin::Begin), 0) << "a closed stream";
    }
}

}  // namespace
}  // namespace brindle
