// DataStream over memory, files and this program's resources, and the resource extraction
// that never leaves a target half written.
#include <gtest/gtest.h>

#include <errno.h>
#include <io.h>

#include <algorithm>

#include "data_stream.h"
#include "harness.h"

namespace {

std::string Resource(const char* name) {
    HRSRC found = FindResourceA(0, name, RT_RCDATA);
    return std::string(static_cast<const char*>(LockResource(LoadResource(0, found))),
                       SizeofResource(0, found));
}

void ExpectClosed(const DataStream& stream) {
    EXPECT_EQ(stream.GetState(), DataStream::Closed);
    EXPECT_EQ(stream.GetSourceKind(), DataStream::NoSource);
    EXPECT_EQ(stream.Descriptor(), -1);
    EXPECT_EQ(stream.Base(), nullptr);
    EXPECT_EQ(stream.Size(), 0u);
}

TEST(DataStream, OpensAMemoryBlock) {
    unsigned char bytes[16] = {1, 2, 3};
    MemoryBlock block = {16, bytes};
    DataStream stream;
    ASSERT_EQ(stream.Open(nullptr, DataStream::MemorySource, &block), 1);
    EXPECT_EQ(stream.GetState(), DataStream::OpenSource);
    EXPECT_EQ(stream.GetSourceKind(), DataStream::MemorySource);
    EXPECT_EQ(stream.Base(), bytes);
    EXPECT_EQ(stream.Cursor(), bytes);
    EXPECT_EQ(stream.Size(), 16u);
    EXPECT_EQ(stream.Open(nullptr, DataStream::MemorySource, nullptr), 0);
    ExpectClosed(stream);
}

TEST(DataStream, OpensFilesAndRefusesWhatIsNotThere) {
    TempFolder folder;
    std::string path = folder.Path() + "source.bin";
    ASSERT_TRUE(WriteFileBytes(path, "abc"));
    DataStream stream;
    ASSERT_EQ(stream.Open(path.c_str(), DataStream::FileSource, nullptr), 1);
    EXPECT_GE(stream.Descriptor(), 0);
    EXPECT_EQ(stream.GetSourceKind(), DataStream::FileSource);
    struct Case {
        const char* name;
        int kind;
    } refused[] = {
        {nullptr, DataStream::FileSource},
        {"Z:\\no\\such\\file.bin", DataStream::FileSource},
        {nullptr, DataStream::ResourceSource},
        {"NO.SUCH.RESOURCE", DataStream::ResourceSource},
        {"EMPTY.BIN", DataStream::ResourceSource},
        {path.c_str(), 0},
        {path.c_str(), 4},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(stream.Open(c.name, c.kind, nullptr), 0)
            << "kind " << c.kind << ", name " << (c.name ? c.name : "null");
        ExpectClosed(stream);
    }
}

TEST(DataStream, ClosingAResourceStreamClosesNoDescriptor) {
    DataStream stream;
    ASSERT_EQ(stream.Open("DATA.TXT", DataStream::ResourceSource, nullptr), 1);
    EXPECT_EQ(stream.Size(), 24u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream.Base()), 24), Resource("DATA.TXT"));
    EXPECT_EQ(stream.Descriptor(), -1);
    errno = 0;
    stream.Close(); // _close(-1) would set EBADF
    EXPECT_EQ(errno, 0);
    ExpectClosed(stream);
}

TEST(DataStream, WriteOfNothingWritesNothing) {
    TempFolder folder;
    DataStream sink;
    ASSERT_EQ(sink.CreateForWrite((folder.Path() + "out.bin").c_str()), 1);
    EXPECT_EQ(sink.GetState(), DataStream::OpenSink);
    EXPECT_EQ(sink.Write(nullptr, 0), 0);
    EXPECT_EQ(sink.Write("ab\r\n", 4), 4);
    sink.Close();
    EXPECT_EQ(ReadFileBytes(folder.Path() + "out.bin"), "ab\r\n") << "no line-end translation";
}

TEST(DataStream, ExtractReplacesALongerFileWithExactlyTheResource) {
    TempFolder folder;
    std::string target = folder.Path() + "PG20030.vmf";
    ASSERT_TRUE(WriteFileBytes(target, std::string(300000, 'o')));
    DataStream stream;
    EXPECT_EQ(stream.ExtractResource("DATA.VMF", target.c_str()), 1);
    EXPECT_TRUE(ReadFileBytes(target) == Resource("DATA.VMF"));
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"PG20030.vmf"});
    EXPECT_EQ(stream.GetState(), DataStream::OpenSource) << "stays open on the resource";
}

TEST(DataStream, ExtractWithoutATargetUsesTheResourceName) {
    TempFolder folder;
    char previous[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(folder.Path().c_str());
    DataStream stream;
    int result = stream.ExtractResource("DATA.TXT", nullptr);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadFileBytes(folder.Path() + "DATA.TXT"), Resource("DATA.TXT"));
}

// The temporary file is named no longer than the target, in the target's folder: every
// target that fits is written, in folders longer than the platform's own temporary names
// allow (246), and nothing else stays behind.
TEST(DataStream, ExtractWritesEveryTargetThatFits) {
    struct Case {
        size_t folderLength; // with the trailing backslash
        const char* name;
        int expected;
    } cases[] = {{246, "PG20030.vmf", 1},
                 {247, "PG20030.vmf", 1},
                 {248, "PG20030.vmf", 1},
                 {249, "PG20030.vmf", 0},
                 {258, "x", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("folder of " + std::to_string(c.folderLength) + ", " + c.name);
        TempFolder base;
        std::string folder = base.Path();
        folder += std::string(c.folderLength - folder.size() - 1, 'f') + "\\";
        ASSERT_EQ(folder.size(), c.folderLength);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), 0));
        DataStream stream;
        EXPECT_EQ(stream.ExtractResource("DATA.TXT", (folder + c.name).c_str()), c.expected);
        std::vector<std::string> expected;
        if (c.expected)
            expected.push_back(c.name);
        EXPECT_EQ(FolderEntries(folder), expected);
        if (c.expected) {
            EXPECT_EQ(ReadFileBytes(folder + c.name), Resource("DATA.TXT"));
        }
        DeleteFileA((folder + c.name).c_str());
        RemoveDirectoryA(folder.c_str());
    }
}

// A one-letter target leaves 16 one-letter temporary names: existing files are never opened,
// a clash is retried, and with all 16 taken the extraction fails with nothing changed.
TEST(DataStream, TemporaryNamesNeverOpenAnExistingFile) {
    const std::string kHex = "0123456789abcdef";
    for (size_t taken : {15u, 16u}) {
        SCOPED_TRACE(std::to_string(taken) + " names taken");
        TempFolder folder;
        for (size_t i = 0; i < taken; ++i)
            ASSERT_TRUE(WriteFileBytes(folder.Path() + kHex[i], "keep"));
        DataStream stream;
        EXPECT_EQ(stream.ExtractResource("DATA.TXT", (folder.Path() + "x").c_str()),
                  taken < 16 ? 1 : 0);
        for (size_t i = 0; i < taken; ++i)
            EXPECT_EQ(ReadFileBytes(folder.Path() + kHex[i]), "keep") << kHex[i];
        EXPECT_EQ(FolderEntries(folder.Path()).size(), taken < 16 ? taken + 1 : taken);
        EXPECT_EQ(FileExists(folder.Path() + "x"), taken < 16);
    }
}

// Every failure returns 0, leaves an existing target exactly as it was and no temporary file.
TEST(DataStream, FailedExtractionsLeaveEverythingAsItWas) {
    TempFolder folder;
    const std::string old = "old content";
    std::string existing = folder.Path() + "existing.txt";
    std::string readOnly = folder.Path() + "readonly.txt";
    std::string locked = folder.Path() + "locked.txt";
    std::string directory = folder.Path() + "PG20030.bmp";
    for (const std::string& path : {existing, readOnly, locked})
        ASSERT_TRUE(WriteFileBytes(path, old));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), 0));
    HANDLE held = CreateFileA(locked.c_str(), GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::vector<std::string> before = FolderEntries(folder.Path());

    struct Case {
        const char* resource;
        std::string target;
    } cases[] = {
        {"EMPTY.BIN", existing},
        {"EMPTY.BIN", folder.Path() + "new.bin"},
        {"NO.SUCH.RESOURCE", existing},
        {nullptr, existing},
        {"DATA.TXT", folder.Path() + "Missing\\PG20030.txt"},
        {"DATA.TXT", readOnly},
        {"DATA.TXT", locked},
        {"DATA.BMP", directory},
        {"DATA.TXT", folder.Path()},
        {"DATA.TXT", folder.Path() + std::string(300, 'p') + ".txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.resource ? c.resource : "null") + " -> " +
                     c.target.substr(0, 80));
        DataStream stream;
        EXPECT_EQ(stream.ExtractResource(c.resource, c.target.c_str()), 0);
        std::vector<std::string> after = FolderEntries(folder.Path());
        EXPECT_EQ(after, before) << "files were added or removed";
    }
    CloseHandle(held);
    for (const std::string& path : {existing, readOnly, locked})
        EXPECT_EQ(ReadFileBytes(path), old) << path;
    EXPECT_TRUE(FolderEntries(directory + "\\").empty());
}

// Runs under a file-size limit of 100 KB: writes past it come back short.
TEST(ShortWrite, IsDetectedAndLeavesTheOldFile) {
    TempFolder folder;
    std::string target = folder.Path() + "PG20030.vmf";
    const std::string old(1000, 'o');
    ASSERT_TRUE(WriteFileBytes(target, old));
    DataStream sink;
    ASSERT_EQ(sink.CreateForWrite((folder.Path() + "probe.bin").c_str()), 1);
    std::string big = Resource("DATA.VMF");
    int written = sink.Write(big.data(), uint32_t(big.size()));
    sink.Close();
    DeleteFileA((folder.Path() + "probe.bin").c_str());
    ASSERT_LT(written, int(big.size())) << "the file-size limit is not in force";

    DataStream stream;
    EXPECT_EQ(stream.ExtractResource("DATA.VMF", target.c_str()), 0);
    EXPECT_EQ(ReadFileBytes(target), old);
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"PG20030.vmf"});
}

} // namespace
