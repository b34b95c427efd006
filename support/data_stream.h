// A byte source over memory, a file or a module resource, or a file sink.
#pragma once

#include <stdint.h>

// Memory block handed to DataStream::Open for source kind 1.
struct MemoryBlock {
    uint32_t size;
    const unsigned char* bytes;
};

class DataStream {
  public:
    enum State { Closed = 0, OpenSource = 1, OpenSink = 2 };
    enum SourceKind { NoSource = 0, MemorySource = 1, FileSource = 2, ResourceSource = 3 };

    DataStream();
    virtual ~DataStream();

    // Forgets everything without closing anything.
    void Reset();
    // Closes the descriptor if there is one, then resets.
    void Close();
    // Opens a source: a MemoryBlock (extra), a file (name) or a resource (name, type in extra).
    int Open(const char* name, int kind, const void* extra);
    // Opens a resource of the running module (type null: RCDATA); an empty one fails.
    int OpenResource(const char* name, const char* type);
    // Creates or truncates a file to write; its folder must exist.
    int CreateForWrite(const char* path);
    // One binary write; the count written, or -1.
    int Write(const void* bytes, uint32_t count);
    // Copies a resource whole into the target file (null: a file named like the resource).
    int ExtractResource(const char* name, const char* target);
    // Writes a resource whole and flushed into a new file beside the target, of a name of its
    // own (at most as long as the target's), given in staged (260 bytes and a terminator).
    int StageResource(const char* name, const char* target, char* staged);
    // Creates, to write, an empty file of a name of its own beside the target; its path in
    // created (260 bytes and a terminator).
    int CreateBeside(const char* target, char* created);

    int GetState() const { return state_; }
    int GetSourceKind() const { return sourceKind_; }
    int Descriptor() const { return descriptor_; }
    const unsigned char* Base() const { return base_; }
    uint32_t Size() const { return size_; }
    const unsigned char* Cursor() const { return cursor_; }

  private:
    DataStream(const DataStream&);
    DataStream& operator=(const DataStream&);

    int Commit();
    // Opens a file to write with the given open flags (write-only, binary).
    int OpenFileSink(const char* path, int flags);
    // Creates, to write, a file that does not exist yet; a clash fails with errno EEXIST.
    int CreateNew(const char* path);
    // Creates, exclusively, a temporary file in the folder, named no longer than fileName, so
    // that it fits wherever the target fits; retried with another name on a clash.
    int CreateTemporary(const char* folder, const char* fileName, char* temporary);

    int state_;
    int sourceKind_;
    int descriptor_;
    const unsigned char* base_;
    uint32_t size_;
    const unsigned char* cursor_;
};
