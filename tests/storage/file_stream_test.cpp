#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "storage/mapped_file_stream.h"
#include "storage/memory_block_stream.h"
#include "storage/plain_file_stream.h"
#include "storage/reserved_file.h"
#include "storage/source_file.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// The next byte 0..255, or -1 when none was read.
int ReadOne(FileStream& stream)
{
    uint8_t value = 0;
    return stream.Read(&value, 1, 1) == 1 ? value : -1;
}

class FileStreamTest : public test::TempDirTest {};

TEST_F(FileStreamTest, MappedWriteStartsAt4096GrowsByWholeWindowsAndIsCutAtClose)
{
    const auto path = PathOf("big");
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForWriting(path, 4096), 1);
    EXPECT_EQ(fs::file_size(path), 4096u);
    Bytes chunk(3000);
    uint32_t written = 0;
    for (int i = 0; written < kStreamWindowBytes + 10; ++i, written += 3000) {
        std::fill(chunk.begin(), chunk.end(), uint8_t(i));
        ASSERT_EQ(stream.Write(chunk.data(), 1000, 3), 3u);
        EXPECT_EQ(stream.Size(), written + 3000);
        ASSERT_TRUE(fs::file_size(path) == 4096 || fs::file_size(path) % kStreamWindowBytes == 0) << fs::file_size(path);
    }
    EXPECT_EQ(fs::file_size(path), 2u * kStreamWindowBytes);
    // Overwrite across the first window boundary, then read it back after close.
    ASSERT_EQ(stream.Seek(kStreamWindowBytes - 2, SeekOrigin::Begin), 1);
    const uint8_t marks[4] = {1, 2, 3, 4};
    ASSERT_EQ(stream.Write(marks, 4, 1), 1u);
    stream.Close();
    const auto bytes = ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), written);
    EXPECT_EQ(std::tuple(bytes[kStreamWindowBytes - 2], bytes[kStreamWindowBytes + 1], bytes[2999], bytes[3000]), std::tuple(1, 4, 0, 1));
    EXPECT_EQ(stream.OpenForWriting(PathOf("zero"), 0), 0);
    ASSERT_EQ(stream.OpenForWriting(PathOf("nothing"), 4096), 1);
    stream.Close();
    EXPECT_EQ(fs::file_size(PathOf("nothing")), 0u) << "cut to the bytes written";
    // A full disk: growing to a whole window fails, and what was written survives.
    ASSERT_EQ(stream.OpenForWriting(path, 4096), 1);
    {
        test::FileSizeLimit limit(200000);
        EXPECT_EQ(stream.Write(chunk.data(), 1, 2000), 2000u);
        EXPECT_EQ(stream.Write(Bytes(100000).data(), 1, 100000), 0u);
    }
    stream.Close();
    EXPECT_EQ(fs::file_size(path), 2000u);
}

TEST_F(FileStreamTest, MappedReadAcrossWindowsAndAtTheEnd)
{
    const auto path = PathOf("in");
    Bytes content(kStreamWindowBytes * 2 + 7), got(content.size());
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = uint8_t(i * 7 + i / 251);
    WriteFileBytes(path, content);
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForReading(path), 1);
    ASSERT_EQ(stream.Size(), content.size());
    ASSERT_EQ(stream.Seek(kStreamWindowBytes - 5, SeekOrigin::Begin), 1);
    ASSERT_EQ(stream.Read(got.data(), 10, 1), 1u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 10, content.begin() + kStreamWindowBytes - 5));
    ASSERT_EQ(stream.Seek(-5, SeekOrigin::End), 1);
    EXPECT_EQ(stream.Read(got.data(), 2, 10), 2u) << "only whole items that remain";
    EXPECT_EQ(got[4], content.back()) << "the partial item's bytes are copied and consumed";
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(stream.Read(got.data(), 1, 1), 0u);
    EXPECT_EQ(stream.Write(got.data(), 1, 1), 0u) << "a read stream never writes";
    stream.Close();
    EXPECT_EQ(ReadFileBytes(path), content);
}

TEST_F(FileStreamTest, ReadStreamsNeedOnlyReadPermissionAndNeverChangeTheFile)
{
    const auto path = PathOf("readonly.wav");
    const Bytes content(70001, 0x5A);
    Bytes got(70001);
    WriteFileBytes(path, content);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    struct stat before {}, after {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    {
        MappedFileStream mapped;
        PlainFileStream plain;
        ASSERT_EQ(mapped.OpenForReading(path), 1);
        EXPECT_EQ(mapped.Read(got.data(), 1, 70001), 70001u);
        EXPECT_EQ(got, content);
        ASSERT_EQ(plain.OpenForReading(path), 1);
        EXPECT_EQ(plain.Size(), 70001u);
        EXPECT_EQ(plain.Write(content.data(), 1, 1), 0u);
    }
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(std::tuple(after.st_mtim.tv_sec, after.st_mtim.tv_nsec), std::tuple(before.st_mtim.tv_sec, before.st_mtim.tv_nsec));
    EXPECT_EQ(ReadFileBytes(path), content);
    // Even a file that refuses every writer, root included.
    test::ImmutableFile lock(path);
    if (!lock.IsSet())
        GTEST_SKIP() << "this file system cannot mark files immutable";
    ASSERT_LT(::open(path.c_str(), O_RDWR), 0) << "the file must refuse writers for this to mean anything";
    MappedFileStream stream;
    ASSERT_EQ(stream.OpenForReading(path), 1);
    got.assign(70001, 0);
    EXPECT_EQ(stream.Read(got.data(), 1, 70001), 70001u);
    EXPECT_EQ(got, content);
}

TEST_F(FileStreamTest, WritesNeverReachPastTheReservedSizeAndMissingOrEmptyFilesOpenAsTheyShould)
{
    ReservedFile file, readOnly;
    ASSERT_EQ(file.Open(PathOf("reserved"), OpenMode::CreateOrTruncate), 1);
    ASSERT_EQ(file.Reserve(100000), 1);
    EXPECT_EQ(fs::file_size(PathOf("reserved")), 100000u) << "the file is grown to the reserved size";
    EXPECT_EQ(file.WriteAt(99990, "0123456789A", 11), 0) << "writes stay inside the reserved size";
    EXPECT_EQ(fs::file_size(PathOf("reserved")), 100000u);
    WriteFileBytes(PathOf("small"), {1, 2, 3});
    ASSERT_EQ(readOnly.Open(PathOf("small"), OpenMode::ReadOnly), 1);
    EXPECT_EQ(readOnly.Reserve(4096), 0) << "a read-only file is never grown";
    EXPECT_EQ(fs::file_size(PathOf("small")), 3u);

    MappedFileStream stream;
    EXPECT_EQ(stream.OpenForReading(PathOf("missing")), 0);
    EXPECT_FALSE(fs::exists(PathOf("missing"))) << "opening for reading never creates";
    EXPECT_EQ(stream.OpenForReading(""), 0);
    EXPECT_EQ(stream.OpenForReading(Dir()), 0) << "a folder is not a file";
    EXPECT_EQ(PlainFileStream().OpenForReading(PathOf("missing")), 0);
    WriteFileBytes(PathOf("empty"), {});
    ASSERT_EQ(stream.OpenForReading(PathOf("empty")), 1);
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(ReadOne(stream), -1);
    EXPECT_EQ(stream.OpenForReading(PathOf("empty")), 0) << "already open";
    SourceFile source, closed;
    ASSERT_EQ(source.Open(PathOf("empty")), 1);
    EXPECT_EQ(stream.OpenForReading(source), 0) << "already open, from a source file too";
    EXPECT_EQ(MappedFileStream().OpenForReading(closed), 0);
    stream.Close();
    EXPECT_EQ(fs::file_size(PathOf("empty")), 0u);
}

TEST_F(FileStreamTest, PlainAndMemoryStreamsReadWriteAndStayInBounds)
{
    PlainFileStream out, in;
    ASSERT_EQ(out.OpenForWriting(PathOf("plain")), 1);
    EXPECT_EQ(out.OpenForWriting(PathOf("plain")), 0) << "already open";
    EXPECT_EQ(out.Write("RIFFxxxxWAVE", 4, 3), 3u);
    EXPECT_EQ(out.WriteByte('!'), 1);
    out.Close();
    ASSERT_EQ(in.OpenForReading(PathOf("plain")), 1);
    EXPECT_EQ(in.Size(), 13u);
    char got[8] = {};
    EXPECT_EQ(in.Read(got, 4, 2), 2u);
    EXPECT_EQ(std::string(got, 8), "RIFFxxxx");
    EXPECT_EQ(in.Read(got, 4, 2), 1u) << "5 bytes left: one whole item";
    EXPECT_EQ(in.Read(nullptr, 1, 1), 0u);
    ASSERT_EQ(in.Seek(-1, SeekOrigin::End), 1);
    EXPECT_EQ(ReadOne(in), '!');

    uint8_t block[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t nine[2] = {9, 9};
    MemoryBlockStream memory;
    EXPECT_EQ(memory.Attach(nullptr, 6), 0);
    EXPECT_EQ(memory.Attach(block, 0), 0);
    ASSERT_EQ(memory.AttachWritable(block, 6), 1);
    EXPECT_EQ(memory.Attach(block, 6), 0) << "already attached";
    EXPECT_EQ(memory.Read(got, 4, 1), 1u);
    EXPECT_EQ(memory.Read(got, 4, 1), 0u) << "two bytes left, item of four";
    EXPECT_EQ(memory.Read(got, 1, 4), 2u);
    ASSERT_EQ(memory.Seek(5, SeekOrigin::Begin), 1);
    EXPECT_EQ(memory.Write(nine, 1, 2), 1u);
    EXPECT_EQ(block[5], 9);
    ASSERT_EQ(memory.Seek(2, SeekOrigin::End), 1);
    EXPECT_EQ(memory.Write(nine, 1, 1), 0u) << "a block never grows";
}

TEST_F(FileStreamTest, EveryStreamSeeksByTheSameRule)
{
    const Bytes content = {1, 2, 3, 4, 5, 6};
    WriteFileBytes(PathOf("six"), content);
    PlainFileStream plain;
    MappedFileStream mapped;
    MemoryBlockStream memory;
    ASSERT_EQ(plain.OpenForReading(PathOf("six")), 1);
    ASSERT_EQ(mapped.OpenForReading(PathOf("six")), 1);
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
        ASSERT_EQ(stream->Seek(10, SeekOrigin::End), 1);
        EXPECT_EQ(stream->Position(), 16u);
        EXPECT_GT(stream->Position(), stream->Size());
        EXPECT_EQ(ReadOne(*stream), -1);
        EXPECT_EQ(stream->Seek(-17, SeekOrigin::Current), 0) << "before the start";
        EXPECT_EQ(stream->Position(), 16u) << "a refused seek leaves the position";
        EXPECT_EQ(stream->Seek(int64_t(UINT32_MAX) - 5, SeekOrigin::End), 0) << "beyond 32 bits";
        EXPECT_EQ(stream->Seek(-1, SeekOrigin::Begin), 0);
        ASSERT_EQ(stream->Seek(-1, SeekOrigin::End), 1);
        EXPECT_EQ(ReadOne(*stream), 6);
        EXPECT_TRUE(stream->IsAtEnd()) << "after the last byte";
        ASSERT_EQ(stream->Rewind(), 1);
        EXPECT_EQ(ReadOne(*stream), 1);
        stream->Close();
        EXPECT_EQ(stream->Seek(0, SeekOrigin::Begin), 0) << "a closed stream";
    }
}

}  // namespace
}  // namespace brindle
