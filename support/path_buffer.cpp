#include "path_buffer.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

PathBuffer::PathBuffer() {
    Clear();
}

void PathBuffer::Clear() {
    memset(primary_, 0, sizeof(primary_));
    memset(scratch_, 0, sizeof(scratch_));
}

void PathBuffer::Assign(const char* text) {
    // Emptied before the text is measured: a text inside this primary slot is lost.
    primary_[0] = '\0';
    if (text && *text)
        strncpy(primary_, text, Capacity);
}

void PathBuffer::Append(const char* text) {
    if (!text)
        return;
    size_t length = strlen(primary_);
    size_t added = strlen(text);
    if (added == 0 || length + added > Capacity)
        return; // no partial append
    memcpy(primary_ + length, text, added + 1);
}

void PathBuffer::Format(const char* format, ...) {
    if (!format)
        return;
    primary_[0] = '\0';
    va_list arguments;
    va_start(arguments, format);
    // Output past 260 characters is cut; primary_[Capacity] stays the terminator.
    _vsnprintf(primary_, Capacity, format, arguments);
    va_end(arguments);
}

const char* PathBuffer::DirectoryPart() {
    strncpy(scratch_, primary_, Capacity);
    // A plain byte search: a 0x5C trail byte of a double-byte character counts too.
    char* lastSlash = strrchr(scratch_, '\\');
    if (lastSlash)
        lastSlash[1] = '\0';
    else
        strcpy(scratch_, ".\\");
    return scratch_;
}

const char* PathBuffer::ChangeExtension(const char* extension) {
    char* lastDot = strrchr(primary_, '.');
    if (lastDot)
        *lastDot = '\0';
    if (!extension)
        return primary_;
    size_t length = strlen(primary_);
    size_t dot = strchr(extension, '.') ? 0 : 1;
    size_t added = strlen(extension);
    if (length + dot + added > Capacity) {
        // The name cannot be formed; an empty value makes any later open fail instead of
        // writing to a truncated or stale name.
        primary_[0] = '\0';
        return primary_;
    }
    if (dot)
        primary_[length++] = '.';
    memcpy(primary_ + length, extension, added + 1);
    return primary_;
}

const char* PathBuffer::ChangeExtensionByKind(FileKind kind) {
    return ChangeExtension(FileKindExtension(kind));
}
