// One open registry key, closed by its owner or its destructor.
#pragma once

#include <windows.h>

class RegistryKey {
  public:
    enum { PathCapacity = 260 };

    RegistryKey();
    virtual ~RegistryKey();

    int Open(HKEY root, const char* path);
    int QueryString(const char* name, char* buffer, DWORD capacity, const char* fallback);
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
