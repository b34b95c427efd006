#include "data_stream.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include "path_buffer.h"

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

int DataStream::CreateForWrite(const char* path) {
    Close();
    descriptor_ = _sopen(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO, _S_IWRITE);
    if (descriptor_ == -1)
        return 0;
    state_ = OpenSink;
    return 1;
}

int DataStream::Write(const void* bytes, uint32_t count) {
    if (count == 0)
        return 0;
    return _write(descriptor_, bytes, count);
}

// Flushes the sink's bytes to the disk before it is moved into place.
int DataStream::Commit() {
    return state_ == OpenSink && _commit(descriptor_) == 0;
}

// Copies a resource whole into a file. The bytes go to a temporary file beside the target
// first, and only a complete, flushed copy replaces the target, so a failure (short write,
// locked or read-only target) leaves the old file as it was and nothing else behind.
int DataStream::ExtractResource(const char* name, const char* target) {
    if (!name)
        return 0;
    if (!Open(name, ResourceSource, 0))
        return 0;
    if (!target)
        target = name;

    PathBuffer folder;
    char* fileName = 0;
    DWORD length = GetFullPathNameA(target, PathBuffer::Capacity, folder.Data(), &fileName);
    if (length == 0 || length >= PathBuffer::Capacity || !fileName || !*fileName)
        return 0;
    *fileName = '\0';

    // A read-only target stays as it is, as an open for writing would refuse it; not every
    // platform refuses to move a file over one.
    DWORD attributes = GetFileAttributesA(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return 0;

    PathBuffer temporary;
    if (!GetTempFileNameA(folder, "pg", 0, temporary.Data()))
        return 0;

    DataStream sink;
    int complete =
        sink.CreateForWrite(temporary) && sink.Write(base_, size_) == int(size_) && sink.Commit();
    sink.Close();
    if (complete &&
        MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 1;
    DeleteFileA(temporary);
    return 0;
}
