// Fixed-capacity path text with a scratch slot for derived results.
#pragma once

#include "file_kind.h"

// A zero-terminated 8-bit text of at most 260 characters (MAX_PATH) plus a second slot of the
// same size where the directory part is built. Never allocates; both terminators stay zero.
class PathBuffer {
  public:
    enum { Capacity = 260 };

    PathBuffer();

    void Clear();
    void Assign(const char* text);
    void Append(const char* text);
    void Format(const char* format, ...);
    const char* DirectoryPart();
    const char* ChangeExtension(const char* extension);
    const char* ChangeExtensionByKind(FileKind kind);

    const char* Text() const { return primary_; }
    // Writable primary slot of Capacity bytes, for platform calls that fill it directly.
    char* Data() { return primary_; }
    operator const char*() const { return primary_; }

  private:
    char primary_[Capacity + 1];
    char scratch_[Capacity + 1];
};
