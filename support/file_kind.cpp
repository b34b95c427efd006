#include "file_kind.h"

namespace {

struct KindEntry {
    FileKind kind;
    const char* extension;
};

constexpr KindEntry kKinds[] = {
    {1, "dib"},  {2, "bmp"},  {3, "dds"},   {4, "argb"},  {5, "spr"},   {6, "jpg"},
    {7, "png"},  {8, "gif"},  {9, "tga"},   {13, "raw"},  {21, "txt"},  {22, "ini"},
    {23, "sys"}, {31, "avi"}, {32, "wav"},  {33, "mdi"},  {34, "rgn"},  {51, "3ds"},
    {52, "x"},   {53, "msh"}, {54, "tnk"},  {55, "fsh"},  {56, "m8"},   {57, "ami"},
    {83, "fx"},  {84, "fxo"}, {121, "zip"}, {122, "vmx"}, {125, "vmf"},
};

constexpr FileKind kLastKind = 125;

// Direct lookup table indexed by kind, built from the list above at compile time.
struct KindTable {
    const char* extensions[kLastKind + 1];
    constexpr KindTable() : extensions() {
        for (unsigned i = 0; i <= kLastKind; ++i)
            extensions[i] = 0;
        for (unsigned i = 0; i < sizeof(kKinds) / sizeof(kKinds[0]); ++i)
            extensions[kKinds[i].kind] = kKinds[i].extension;
    }
};

constexpr KindTable kTable;

} // namespace

const char* FileKindExtension(FileKind kind) {
    if (kind < 1 || kind > kLastKind)
        return 0;
    return kTable.extensions[kind];
}
