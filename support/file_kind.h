// Numbered file kinds and their file extensions.
#pragma once

typedef unsigned int FileKind;

// Extension (lower case, no dot) of a numbered file kind, or null for a number without one.
const char* FileKindExtension(FileKind kind);
