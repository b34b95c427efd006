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

    void Reset();
    void Close();
    int Open(const char* name, int kind, const void* extra);
    int OpenResource(const char* name, const char* type);
    int CreateForWrite(const char* path);
    int Write(const void* bytes, uint32_t count);
    int ExtractResource(const char* name, const char* target);

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

    int state_;
    int sourceKind_;
    int descriptor_;
    const unsigned char* base_;
    uint32_t size_;
    const unsigned char* cursor_;
};
