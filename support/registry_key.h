// One open registry key, closed by its owner or its destructor.
#pragma once

#include <windows.h>

class RegistryKey {
  public:
    enum { PathCapacity = 260 };

    RegistryKey();
    virtual ~RegistryKey();

    // Opens a sub-key for reading, closing any open key first. 1 when a key was opened.
    int Open(HKEY root, const char* path);
    // Reads a value (null name: the default value) as stored. On failure the buffer holds
    // the fallback, or zeros without one, and the result is 0; a null buffer gives 1.
    int QueryString(const char* name, char* buffer, DWORD capacity, const char* fallback);
    // 1 when an open key was closed, 0 when there was none.
    int Close();

    HKEY Handle() const { return handle_; }
    HKEY Root() const { return root_; }
    const char* SubKeyPath() const { return subKeyPath_; }

  private:
    RegistryKey(const RegistryKey&);
    RegistryKey& operator=(const RegistryKey&);

    void Set(HKEY handle, HKEY root, const char* path);

    HKEY root_;
    HKEY handle_;
    char subKeyPath_[PathCapacity];
};
