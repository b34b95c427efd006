// Fixed-capacity path text with a scratch slot for derived results.
#pragma once

#include "file_kind.h"

// A zero-terminated 8-bit text of at most 260 characters (MAX_PATH) plus a second slot of the
// same size where the directory part is built. Never allocates; both terminators stay zero.
class PathBuffer {
  public:
    enum { Capacity = 260 };

    PathBuffer();

    // Zeroes both slots.
    void Clear();
    // Replaces the value, cut at 260 characters; null or "" empties it.
    void Assign(const char* text);
    // Appends the whole text if the result fits in 260 characters, else nothing.
    void Append(const char* text);
    // Replaces the value with printf-style output cut at 260 characters; a null format is ignored.
    void Format(const char* format, ...);
    // The value up to and with its last backslash, or ".\" without one, in the scratch slot.
    const char* DirectoryPart();
    // Cuts at the last dot of the whole value and appends the extension (with a dot when it
    // has none). A result past 260 characters cannot be formed and leaves the value empty.
    const char* ChangeExtension(const char* extension);
    // ChangeExtension with the extension of a numbered file kind.
    const char* ChangeExtensionByKind(FileKind kind);

    const char* Text() const { return primary_; }
    // Writable primary slot of Capacity bytes, for platform calls that fill it directly.
    char* Data() { return primary_; }
    operator const char*() const { return primary_; }

  private:
    char primary_[Capacity + 1];
    char scratch_[Capacity + 1];
};
