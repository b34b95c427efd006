#include "data_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <string.h>
#include <sys/stat.h>
#include <windows.h>

#include "path_buffer.h"

namespace {

const int kTemporaryAttempts = 64;

// A temporary file name of length characters (at most 8): "~" and hex digits of value, or
// a single hex digit.
void TemporaryName(unsigned value, size_t length, char* name) {
    static const char kHex[] = "0123456789abcdef";
    size_t i = 0;
    if (length > 1)
        name[i++] = '~';
    for (; i < length; ++i, value >>= 4)
        name[i] = kHex[value & 0xF];
    name[length] = 0;
}

} // namespace

DataStream::DataStream() {
    Reset();
}

DataStream::~DataStream() {
    Close();
}

void DataStream::Reset() {
    state_ = Closed;
    sourceKind_ = NoSource;
    descriptor_ = -1;
    base_ = 0;
    size_ = 0;
    cursor_ = 0;
}

void DataStream::Close() {
    if (state_ != Closed && descriptor_ != -1)
        _close(descriptor_);
    Reset();
}

int DataStream::Open(const char* name, int kind, const void* extra) {
    Close();
    switch (kind) {
    case MemorySource: {
        if (!extra)
            return 0;
        const MemoryBlock* block = static_cast<const MemoryBlock*>(extra);
        size_ = block->size;
        base_ = block->bytes;
        cursor_ = base_;
        break;
    }
    case FileSource:
        if (!name)
            return 0;
        descriptor_ = _sopen(name, _O_RDONLY | _O_BINARY, _SH_DENYNO, _S_IREAD);
        if (descriptor_ == -1)
            return 0;
        break;
    case ResourceSource:
        if (!name || !OpenResource(name, static_cast<const char*>(extra)))
            return 0;
        break;
    default:
        return 0;
    }
    sourceKind_ = kind;
    state_ = OpenSource;
    return 1;
}

int DataStream::OpenResource(const char* name, const char* type) {
    Close();
    HMODULE module = GetModuleHandleA(0);
    HRSRC resource = FindResourceA(module, name, type ? type : RT_RCDATA);
    if (!resource)
        return 0;
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    const unsigned char* bytes =
        loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : 0;
    if (!bytes || size == 0)
        return 0;
    base_ = bytes;
    size_ = size;
    cursor_ = base_;
    state_ = OpenSource;
    sourceKind_ = ResourceSource;
    return 1;
}

int DataStream::OpenFileSink(const char* path, int flags) {
    Close();
    descriptor_ = _sopen(path, flags, _SH_DENYNO, _S_IWRITE);
    if (descriptor_ == -1)
        return 0;
    state_ = OpenSink;
    return 1;
}

int DataStream::CreateForWrite(const char* path) {
    return OpenFileSink(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY);
}

int DataStream::Write(const void* bytes, uint32_t count) {
    if (count == 0)
        return 0;
    return _write(descriptor_, bytes, count);
}

int DataStream::CreateNew(const char* path) {
    return OpenFileSink(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY);
}

int DataStream::CreateTemporary(const char* folder, const char* fileName, char* temporary) {
    size_t length = strlen(fileName);
    if (length > 8)
        length = 8;
    unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        char name[9];
        TemporaryName(seed + attempt * 0x9E3779B1u, length, name);
        if (lstrcmpiA(name, fileName) == 0)
            continue;
        // Folder and name fit: together they are no longer than the target's full path.
        lstrcpyA(temporary, folder);
        lstrcatA(temporary, name);
        if (CreateNew(temporary))
            return 1;
        if (errno != EEXIST)
            return 0;
    }
    return 0;
}

// Flushes the sink's bytes to the disk before it is moved into place.
int DataStream::Commit() {
    return state_ == OpenSink && _commit(descriptor_) == 0;
}

// Creates an empty file of a name of its own in the target's folder, open to write, and
// gives its path.
int DataStream::CreateBeside(const char* target, char* created) {
    PathBuffer folder, fileName;
    char* namePart = 0;
    DWORD length = GetFullPathNameA(target, PathBuffer::Capacity, folder.Data(), &namePart);
    if (length == 0 || length >= PathBuffer::Capacity || !namePart || !*namePart)
        return 0;
    fileName.Assign(namePart);
    *namePart = '\0';
    return CreateTemporary(folder, fileName, created);
}

// Writes a resource whole into a new file beside the target, flushed to the disk; a failure
// (a short write, no room for the file) leaves nothing behind.
int DataStream::StageResource(const char* name, const char* target, char* staged) {
    if (!name || !Open(name, ResourceSource, 0))
        return 0;
    DataStream sink;
    if (!sink.CreateBeside(target ? target : name, staged))
        return 0;
    int complete = sink.Write(base_, size_) == int(size_) && sink.Commit();
    sink.Close();
    if (complete)
        return 1;
    DeleteFileA(staged);
    return 0;
}

// Copies a resource whole into a file. Only a complete, flushed copy replaces the target, so a
// failure (short write, locked or read-only target) leaves the old file as it was and nothing
// else behind.
int DataStream::ExtractResource(const char* name, const char* target) {
    if (!target)
        target = name;
    // A read-only target stays as it is, as an open for writing would refuse it; not every
    // platform refuses to move a file over one.
    DWORD attributes = target ? GetFileAttributesA(target) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return 0;
    PathBuffer staged;
    if (!StageResource(name, target, staged.Data()))
        return 0;
    if (MoveFileExA(staged, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    DeleteFileA(staged);
    return 0;
}
