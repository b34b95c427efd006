// PathBuffer and the file-kind table: bounds, terminators and the extension swap.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "path_buffer.h"

namespace {

// Both slots keep their terminator whatever was done to the buffer; checked after every
// operation through the bytes that follow the primary text.
void ExpectTerminated(const PathBuffer& buffer) {
    const char* bytes = reinterpret_cast<const char*>(&buffer);
    EXPECT_EQ(bytes[PathBuffer::Capacity], '\0') << "primary terminator";
    EXPECT_EQ(bytes[2 * PathBuffer::Capacity + 1], '\0') << "scratch terminator";
    EXPECT_LE(strlen(buffer.Text()), size_t(PathBuffer::Capacity));
}

PathBuffer Holding(const std::string& text) {
    PathBuffer buffer;
    buffer.Assign(text.c_str());
    return buffer;
}

TEST(PathBuffer, IsTwoSlotsOf261Bytes) {
    EXPECT_EQ(sizeof(PathBuffer), 522u);
    PathBuffer buffer;
    const char* bytes = reinterpret_cast<const char*>(&buffer);
    EXPECT_EQ(std::string(bytes, 522), std::string(522, '\0'));
}

TEST(PathBuffer, AppendsOnlyWhatFitsWhole) {
    struct Case {
        size_t length;
        const char* text;
        size_t expected;
    } cases[] = {
        {257, "abc", 260}, {258, "abc", 258}, {260, "a", 260}, {0, "abc", 3},
        {10, "", 10},      {10, nullptr, 10}, {0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + " + " + (c.text ? c.text : "null"));
        PathBuffer buffer = Holding(std::string(c.length, 'x'));
        buffer.Append(c.text);
        EXPECT_EQ(strlen(buffer.Text()), c.expected);
        ExpectTerminated(buffer);
    }
}

TEST(PathBuffer, AssignCutsAt260AndKeepsTheTerminator) {
    PathBuffer buffer = Holding(std::string(300, 'y'));
    EXPECT_EQ(std::string(buffer.Text()), std::string(260, 'y'));
    ExpectTerminated(buffer);
    for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
        buffer.Assign(empty);
        EXPECT_STREQ(buffer.Text(), "");
        ExpectTerminated(buffer);
    }
}

TEST(PathBuffer, AssignFromTheScratchSlot) {
    PathBuffer buffer = Holding("C:\\Program Files\\X\\Pelagio2.scr");
    buffer.Assign(buffer.DirectoryPart());
    EXPECT_STREQ(buffer.Text(), "C:\\Program Files\\X\\");
    ExpectTerminated(buffer);
}

TEST(PathBuffer, FormatCutsAt260AndIgnoresANullFormat) {
    PathBuffer buffer;
    buffer.Format("%s\\%s", "Software", "Pelagio2.scr");
    EXPECT_STREQ(buffer.Text(), "Software\\Pelagio2.scr");
    buffer.Format(nullptr);
    EXPECT_STREQ(buffer.Text(), "Software\\Pelagio2.scr");
    buffer.Format("%s%s", std::string(200, 'a').c_str(), std::string(100, 'b').c_str());
    EXPECT_EQ(std::string(buffer.Text()), std::string(200, 'a') + std::string(60, 'b'));
    ExpectTerminated(buffer);
}

TEST(PathBuffer, DirectoryPartKeepsTheTrailingBackslash) {
    struct Case {
        std::string path;
        std::string expected;
    } cases[] = {
        {"x.scr", ".\\"},
        {"C:\\x.scr", "C:\\"},
        {"C:\\A\\", "C:\\A\\"},
        {"C:\\A\\B\\x.scr", "C:\\A\\B\\"},
        {"", ".\\"},
        {"\"C:\\Q\\x.scr\"", "\"C:\\Q\\"},
        // ソ is 83 5C in code page 932: the plain byte search cuts inside it.
        {"C:\\ソ\\x.scr", "C:\\ソ\\"},
        {"C:\\Aソx.scr", "C:\\A\x83\\"},
        {std::string(300, 'd') + "\\x", ".\\"}, // cut at 260: no backslash left
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("path bytes " + c.path.substr(0, 40));
        PathBuffer buffer = Holding(c.path);
        std::string before = buffer.Text();
        std::string directory = buffer.DirectoryPart();
        EXPECT_EQ(directory, c.expected) << "expected " << c.expected << ", got " << directory;
        EXPECT_EQ(std::string(buffer.Text()), before) << "the primary text must not change";
        ExpectTerminated(buffer);
    }
}

TEST(PathBuffer, ChangeExtensionTakesTheLastDotOfThePath) {
    struct Case {
        const char* path;
        const char* extension;
        const char* expected;
    } cases[] = {
        {"C:\\Fish\\PG20030.vmf", "bmp", "C:\\Fish\\PG20030.bmp"},
        {"C:\\My.Dir\\file", "bmp", "C:\\My.bmp"},
        {"file", "bmp", "file.bmp"},
        {"file.txt", ".bmp", "file.bmp"},
        {"file.txt", nullptr, "file"},
        {"a.b.c", "x", "a.b.x"},
        {"", "bmp", ".bmp"},
    };
    for (const Case& c : cases) {
        PathBuffer buffer = Holding(c.path);
        EXPECT_STREQ(buffer.ChangeExtension(c.extension), c.expected) << "path " << c.path;
        ExpectTerminated(buffer);
    }
}

// A result past 260 characters cannot be formed: the value becomes empty, so that nothing
// is written under a cut or stale name.
TEST(PathBuffer, ChangeExtensionThatWouldOverflowLeavesAnEmptyValue) {
    struct Case {
        size_t length;
        const char* extension;
        size_t expected;
    } cases[] = {
        {256, "bmp", 260}, {257, "bmp", 0}, {256, ".bmp", 260}, {259, "argb", 0}, {260, "x", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + " + " + c.extension);
        PathBuffer buffer = Holding(std::string(c.length, 'n'));
        buffer.ChangeExtension(c.extension);
        EXPECT_EQ(strlen(buffer.Text()), c.expected);
        ExpectTerminated(buffer);
    }
    // An existing extension is removed first, so the swap itself always fits.
    PathBuffer full = Holding(std::string(256, 'n') + ".vmf");
    EXPECT_EQ(std::string(full.ChangeExtension("bmp")), std::string(256, 'n') + ".bmp");
}

TEST(FileKind, TableHasItsEntriesAndNothingInTheGaps) {
    const char* expected[126] = {};
    struct Entry {
        FileKind kind;
        const char* extension;
    } entries[] = {
        {1, "dib"},  {2, "bmp"},  {3, "dds"},   {4, "argb"},  {5, "spr"},   {6, "jpg"},
        {7, "png"},  {8, "gif"},  {9, "tga"},   {13, "raw"},  {21, "txt"},  {22, "ini"},
        {23, "sys"}, {31, "avi"}, {32, "wav"},  {33, "mdi"},  {34, "rgn"},  {51, "3ds"},
        {52, "x"},   {53, "msh"}, {54, "tnk"},  {55, "fsh"},  {56, "m8"},   {57, "ami"},
        {83, "fx"},  {84, "fxo"}, {121, "zip"}, {122, "vmx"}, {125, "vmf"},
    };
    for (const Entry& e : entries)
        expected[e.kind] = e.extension;
    for (FileKind kind = 0; kind < 126; ++kind) {
        const char* actual = FileKindExtension(kind);
        if (expected[kind])
            EXPECT_STREQ(actual, expected[kind]) << "kind " << kind;
        else
            EXPECT_EQ(actual, nullptr) << "kind " << kind << " gave " << actual;
    }
    for (FileKind kind : {126u, 200u, 0xFFFFFFFFu})
        EXPECT_EQ(FileKindExtension(kind), nullptr) << "kind " << kind;
}

TEST(FileKind, ChangeExtensionByKind) {
    PathBuffer buffer = Holding("C:\\Fish\\PG20030.txt");
    EXPECT_STREQ(buffer.ChangeExtensionByKind(125), "C:\\Fish\\PG20030.vmf");
    EXPECT_STREQ(buffer.ChangeExtensionByKind(2), "C:\\Fish\\PG20030.bmp");
    EXPECT_STREQ(buffer.ChangeExtensionByKind(21), "C:\\Fish\\PG20030.txt");
    EXPECT_STREQ(buffer.ChangeExtensionByKind(24), "C:\\Fish\\PG20030");
    ExpectTerminated(buffer);
}

} // namespace
