// The resource table of the shipped 32-bit exe (loaded as a data file) and of the 64-bit
// twin: types, names, languages, sizes, the dialog templates and the images' forms.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "fish.h"
#include "harness.h"

namespace {

struct Entry {
    std::string type, name;
    WORD language;
    bool operator<(const Entry& o) const {
        return type != o.type   ? type < o.type
               : name != o.name ? name < o.name
                                : language < o.language;
    }
};

std::string IdText(LPCSTR id) {
    return IS_INTRESOURCE(id) ? "#" + std::to_string(reinterpret_cast<uintptr_t>(id)) : id;
}

typedef std::map<Entry, std::string> ResourceTable;

BOOL CALLBACK AddLanguage(HMODULE module, LPCSTR type, LPCSTR name, WORD language, LONG_PTR table) {
    HRSRC found = FindResourceExA(module, type, name, language);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    (*reinterpret_cast<ResourceTable*>(table))[{IdText(type), IdText(name), language}] =
        std::string(bytes, SizeofResource(module, found));
    return TRUE;
}
BOOL CALLBACK AddName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR table) {
    return EnumResourceLanguagesA(module, type, name, AddLanguage, table);
}
BOOL CALLBACK AddType(HMODULE module, LPSTR type, LONG_PTR table) {
    return EnumResourceNamesA(module, type, AddName, table);
}

ResourceTable ReadTable(HMODULE module) {
    ResourceTable table;
    EnumResourceTypesA(module, AddType, reinterpret_cast<LONG_PTR>(&table));
    return table;
}

// The shipped exe's path comes from the test command; the twin sits beside the tests.
std::string ShippedExe() {
    const char* path = getenv("PELAGIO_SHIPPED_EXE");
    return path ? path : "";
}

class ResourceTableTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        shipped_ = LoadLibraryExA(ShippedExe().c_str(), 0,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        twin_ = LoadLibraryExA((ProgramFolder() + "PelagioUpdate.exe").c_str(), 0,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static HMODULE shipped_, twin_;
};
HMODULE ResourceTableTest::shipped_, ResourceTableTest::twin_;

uint32_t U32(const std::string& b, size_t at) {
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}
uint16_t U16(const std::string& b, size_t at) {
    uint16_t v;
    memcpy(&v, b.data() + at, 2);
    return v;
}

TEST_F(ResourceTableTest, ShippedExeIs32BitAndHoldsExactlyTheListedResources) {
    ASSERT_NE(shipped_, nullptr) << "cannot load " << ShippedExe();
    std::string file = ReadFileBytes(ShippedExe());
    ASSERT_GT(file.size(), 0x100u);
    EXPECT_EQ(U16(file, U32(file, 0x3C) + 4), 0x14C) << "machine: expected i386";
    EXPECT_EQ(U16(file, U32(file, 0x3C) + 24), 0x10B) << "optional header: expected PE32";
    EXPECT_EQ(U16(file, U32(file, 0x3C) + 24 + 68), 2) << "subsystem: expected Windows GUI";

    struct Expected {
        Entry entry;
        size_t size; // 0: any size
    } expected[] = {
        {{"#14", "#101", 1033}, 48},
        {{"#3", "#1", 1033}, 2216},
        {{"#3", "#2", 1033}, 3752},
        {{"#3", "#3", 1033}, 1384},
        {{"#2", "#102", 1028}, 5098},
        {{"#5", "UPDATEDLG", 1031}, 0},
        {{"#5", "UPDATEDLG", 1041}, 0},
        {{"#5", "UPDATEDLG_", 1033}, 0},
        {{"#10", "DATA.VMF", 1028}, 201830},
        {{"#10", "DATA.BMP", 1028}, 7224},
        {{"#10", "DATA.TXT", 1028}, 24},
        {{"#10", "DATA.TXT1", 1028}, 19},
        {{"#24", "#1", 1033}, 0},
    };
    ResourceTable table = ReadTable(shipped_);
    EXPECT_EQ(table.size(), sizeof(expected) / sizeof(expected[0]));
    for (const Expected& e : expected) {
        auto found = table.find(e.entry);
        std::string what =
            e.entry.type + "/" + e.entry.name + "/" + std::to_string(e.entry.language);
        ASSERT_NE(found, table.end()) << "missing " << what;
        if (e.size) {
            EXPECT_EQ(found->second.size(), e.size) << what;
        }
    }
    for (const auto& item : table)
        printf("  %s/%s/%u: %zu bytes\n", item.first.type.c_str(), item.first.name.c_str(),
               item.first.language, item.second.size());
}

TEST_F(ResourceTableTest, TwinCarriesTheSameResources) {
    ASSERT_NE(shipped_, nullptr);
    ASSERT_NE(twin_, nullptr);
    ResourceTable shipped = ReadTable(shipped_), twin = ReadTable(twin_);
    ASSERT_EQ(twin.size(), shipped.size());
    for (const auto& item : shipped)
        EXPECT_TRUE(twin[item.first] == item.second) << item.first.type << "/" << item.first.name;
    std::string name = shipped[Entry{"#10", "DATA.TXT", 1028}];
    EXPECT_EQ(name, std::string(FISH_NAME) + "\r\n")
        << "expected " << Hex(FISH_NAME) << " 0D 0A, got " << Hex(name);
    EXPECT_EQ((shipped[Entry{"#10", "DATA.TXT1", 1028}]), "Threespot dascyllus");
}

// Reads a DLGTEMPLATEEX: the header's fields and each control's.
struct DialogControl {
    uint32_t exStyle, style;
    int16_t x, y, cx, cy;
    uint32_t id;
    std::wstring className, text;
};
struct DialogTemplate {
    uint32_t style, exStyle;
    int16_t x, y, cx, cy;
    uint16_t pointSize, weight;
    uint8_t italic, charset;
    std::wstring font;
    std::vector<DialogControl> controls;
};

class TemplateReader {
  public:
    explicit TemplateReader(const std::string& bytes) : b_(bytes) {}
    template <class T> T Get() {
        T v{};
        if (at_ + sizeof(T) <= b_.size())
            memcpy(&v, b_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return v;
    }
    // A string or an ordinal (0xFFFF then a number, given as "#n").
    std::wstring SzOrOrdinal() {
        if (Peek() == 0xFFFF) {
            Get<uint16_t>();
            return L"#" + std::to_wstring(Get<uint16_t>());
        }
        std::wstring s;
        while (uint16_t c = Get<uint16_t>())
            s += wchar_t(c);
        return s;
    }
    void Align4() { at_ = (at_ + 3) & ~size_t(3); }
    bool Overrun() const { return at_ > b_.size(); }

  private:
    uint16_t Peek() const { return at_ + 2 <= b_.size() ? U16(b_, at_) : 0; }
    const std::string& b_;
    size_t at_ = 0;
};

DialogTemplate ParseTemplate(const std::string& bytes) {
    TemplateReader r(bytes);
    DialogTemplate t;
    EXPECT_EQ(r.Get<uint16_t>(), 1) << "dlgVer";
    EXPECT_EQ(r.Get<uint16_t>(), 0xFFFF) << "signature";
    r.Get<uint32_t>(); // help id
    t.exStyle = r.Get<uint32_t>();
    t.style = r.Get<uint32_t>();
    uint16_t count = r.Get<uint16_t>();
    t.x = r.Get<int16_t>(), t.y = r.Get<int16_t>(), t.cx = r.Get<int16_t>(),
    t.cy = r.Get<int16_t>();
    EXPECT_EQ(r.SzOrOrdinal(), L"") << "menu";
    EXPECT_EQ(r.SzOrOrdinal(), L"") << "class";
    EXPECT_EQ(r.SzOrOrdinal(), L"") << "caption";
    t.pointSize = r.Get<uint16_t>(), t.weight = r.Get<uint16_t>();
    t.italic = r.Get<uint8_t>(), t.charset = r.Get<uint8_t>();
    t.font = r.SzOrOrdinal();
    for (int i = 0; i < count && !r.Overrun(); ++i) {
        r.Align4();
        DialogControl c;
        r.Get<uint32_t>(); // help id
        c.exStyle = r.Get<uint32_t>(), c.style = r.Get<uint32_t>();
        c.x = r.Get<int16_t>(), c.y = r.Get<int16_t>(), c.cx = r.Get<int16_t>(),
        c.cy = r.Get<int16_t>();
        c.id = r.Get<uint32_t>();
        c.className = r.SzOrOrdinal();
        c.text = r.SzOrOrdinal();
        uint16_t extra = r.Get<uint16_t>();
        for (int k = 0; k < extra; ++k)
            r.Get<uint8_t>();
        t.controls.push_back(c);
    }
    EXPECT_FALSE(r.Overrun()) << "template ends early";
    return t;
}

std::string Narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end());
}

TEST_F(ResourceTableTest, DialogTemplatesHaveTheirStylesRectanglesAndTexts) {
    ASSERT_NE(shipped_, nullptr);
    ResourceTable table = ReadTable(shipped_);
    struct Control {
        uint32_t id;
        const wchar_t* className;
        const wchar_t* text;
        uint32_t style, exStyle;
        int16_t x, y, cx, cy;
    };
    const uint32_t kEdge = WS_EX_STATICEDGE;
    struct Case {
        const char* name;
        WORD language;
        std::vector<Control> controls;
    } cases[] = {
        {"UPDATEDLG",
         1041,
         {{1006, L"#128", L"\x30D5\x30A1\x30A4\x30EB\x306E\x66F4\x65B0", 0x50010001, 0, 4, 47, 43,
           12},
          {1005, L"#128", L"Pelagio 2 \x306E\x8D77\x52D5", 0x50010000, 0, 51, 47, 54, 12},
          {2, L"#128", L"\x7D42\x4E86", 0x50010000, 0, 110, 47, 41, 12},
          {1003, L"#130", L"#102", 0x5000080E, kEdge, 4, 5, 58, 35},
          {1002, L"#130", L"Name", 0x50000201, kEdge, 43, 5, 106, 19}}},
        {"UPDATEDLG",
         1031,
         {{2, L"#128", L"Beenden", 0x50010000, 0, 110, 39, 41, 12},
          {1003, L"#130", L"#102", 0x5000080E, kEdge, 4, 5, 58, 35},
          {1006, L"#128", L"Update ausf\x00FChren", 0x50010001, 0, 4, 40, 43, 12},
          {1005, L"#128", L"Pelagio 2 starten", 0x50010000, 0, 51, 40, 54, 12},
          {1002, L"#129", L"", 0x50000804, kEdge, 52, 11, 40, 14}}},
        {"UPDATEDLG_",
         1033,
         {{2, L"#128", L"Exit", 0x50010000, 0, 110, 47, 41, 12},
          {1003, L"#130", L"#102", 0x5000080E, kEdge, 4, 5, 58, 35},
          {1002, L"#130", L"Name", 0x50000001, kEdge, 43, 5, 106, 19},
          {1006, L"#128", L"Update the file", 0x50010001, 0, 4, 40, 43, 12},
          {1005, L"#128", L"Launch Pelagio 2", 0x50010000, 0, 51, 40, 54, 12}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + std::to_string(c.language));
        const std::string& bytes = table[{"#5", c.name, c.language}];
        printf("  dialog %s/%u: %zu bytes\n", c.name, c.language, bytes.size());
        DialogTemplate t = ParseTemplate(bytes);
        EXPECT_EQ(t.style, 0x80C800C0u);
        EXPECT_EQ(t.exStyle, 0u);
        EXPECT_EQ(t.cx, 154);
        EXPECT_EQ(t.cy, 62);
        EXPECT_EQ(Narrow(t.font), "Arial");
        EXPECT_EQ(t.pointSize, 10);
        EXPECT_EQ(t.weight, 0);
        EXPECT_EQ(t.italic, 0);
        EXPECT_EQ(t.charset, 1);
        ASSERT_EQ(t.controls.size(), c.controls.size());
        for (size_t i = 0; i < c.controls.size(); ++i) {
            const Control& e = c.controls[i];
            const DialogControl& a = t.controls[i];
            SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(a.id));
            EXPECT_EQ(a.id, e.id);
            EXPECT_EQ(a.className, e.className);
            EXPECT_TRUE(a.text == e.text) << "text differs";
            EXPECT_EQ(a.style, e.style)
                << std::hex << "expected 0x" << e.style << ", got 0x" << a.style;
            EXPECT_EQ(a.exStyle, e.exStyle);
            EXPECT_EQ(a.x, e.x);
            EXPECT_EQ(a.y, e.y);
            EXPECT_EQ(a.cx, e.cx);
            EXPECT_EQ(a.cy, e.cy);
        }
    }
}

// The application manifest: elevation asked for plainly, and the systems it was made for, so
// that Windows neither guesses it is a setup program nor redirects its writes; nothing that
// would change its look or its code page.
TEST_F(ResourceTableTest, ManifestAsksForAdministratorAndNamesTheSystems) {
    ASSERT_NE(shipped_, nullptr);
    ResourceTable table = ReadTable(shipped_);
    const std::string& manifest = table[{"#24", "#1", 1033}];
    ASSERT_FALSE(manifest.empty()) << "no manifest";
    const char* const required[] = {
        "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>",
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10 and 11
    };
    for (const char* text : required)
        EXPECT_NE(manifest.find(text), std::string::npos) << "missing " << text;
    for (const char* text : {"dpiAware", "dpiAwareness", "Common-Controls", "activeCodePage"})
        EXPECT_EQ(manifest.find(text), std::string::npos) << "unexpected " << text;
    EXPECT_EQ(manifest.find("requestedExecutionLevel"), manifest.rfind("requestedExecutionLevel"))
        << "one execution level";
}

// BITMAPINFOHEADER fields at an offset: width, height, bits, compression, image size, ppm.
void ExpectInfoHeader(const std::string& b, size_t at, int32_t width, int32_t height, int bits,
                      uint32_t imageSize, int32_t ppm) {
    ASSERT_GE(b.size(), at + 40);
    EXPECT_EQ(U32(b, at), 40u);
    EXPECT_EQ(int32_t(U32(b, at + 4)), width);
    EXPECT_EQ(int32_t(U32(b, at + 8)), height);
    EXPECT_EQ(U16(b, at + 12), 1) << "planes";
    EXPECT_EQ(U16(b, at + 14), bits);
    EXPECT_EQ(U32(b, at + 16), 0u) << "uncompressed";
    EXPECT_EQ(U32(b, at + 20), imageSize);
    EXPECT_EQ(int32_t(U32(b, at + 24)), ppm);
    EXPECT_EQ(int32_t(U32(b, at + 28)), ppm);
}

TEST_F(ResourceTableTest, ImagesAreWhatTheirHeadersSay) {
    ASSERT_NE(shipped_, nullptr);
    ResourceTable table = ReadTable(shipped_);
    // Dialog picture: 96 x 42, 8 bits, a 256-colour palette, rows padded by 2 bytes.
    const std::string& picture = table[{"#2", "#102", 1028}];
    ExpectInfoHeader(picture, 0, 96, 42, 8, 5098 - 40 - 1024, 0);
    EXPECT_TRUE(U32(picture, 32) == 0 || U32(picture, 32) == 256) << "colours used";
    // Thumbnail: a complete BMP file, 74 x 32, 24 bits, 2834 px/m.
    const std::string& thumbnail = table[{"#10", "DATA.BMP", 1028}];
    EXPECT_EQ(thumbnail.substr(0, 2), "BM");
    EXPECT_EQ(U32(thumbnail, 2), 7224u) << "file size field";
    EXPECT_EQ(U32(thumbnail, 10), 54u) << "pixel offset";
    ExpectInfoHeader(thumbnail, 14, 74, 32, 24, 7224 - 54, 2834);
    // Icons: 8-bit images with a palette and an AND mask (height doubled), in the group's order.
    const std::string& group = table[{"#14", "#101", 1033}];
    ASSERT_EQ(group.size(), 48u);
    EXPECT_EQ(U16(group, 4), 3) << "images in the group";
    const int sizes[] = {32, 48, 16};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("icon " + std::to_string(i + 1));
        size_t entry = 6 + 14 * i;
        EXPECT_EQ(uint8_t(group[entry]), sizes[i]);
        EXPECT_EQ(U16(group, entry + 6), 8) << "bit count";
        EXPECT_EQ(U16(group, entry + 12), i + 1) << "icon id";
        const std::string& icon = table[{"#3", "#" + std::to_string(i + 1), 1033}];
        EXPECT_EQ(U32(group, entry + 8), icon.size());
        int s = sizes[i];
        uint32_t maskRow = ((s + 31) / 32) * 4;
        ExpectInfoHeader(icon, 0, s, 2 * s, 8, s * s + maskRow * s, 0);
        EXPECT_EQ(icon.size(), 40 + 1024 + s * s + maskRow * s);
    }
    // The data file says in its first bytes that it is sample data.
    const std::string& data = table[Entry{"#10", "DATA.VMF", 1028}];
    EXPECT_EQ(data.substr(0, 25), "PELAGIO2 SAMPLE FISH DATA");
}

} // namespace
