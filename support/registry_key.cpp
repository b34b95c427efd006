#include "registry_key.h"

#include <string.h>

RegistryKey::RegistryKey() : root_(0), handle_(0) {
    memset(subKeyPath_, 0, sizeof(subKeyPath_));
}

RegistryKey::~RegistryKey() {
    Close();
}

// Records the key's state; a longer path is cut to the field's 259 characters.
void RegistryKey::Set(HKEY handle, HKEY root, const char* path) {
    handle_ = handle;
    root_ = handle ? root : 0;
    memset(subKeyPath_, 0, sizeof(subKeyPath_));
    if (handle && path)
        strncpy(subKeyPath_, path, PathCapacity - 1);
}

// Opens a sub-key for reading; judged by the handle alone, as the return code may be odd.
int RegistryKey::Open(HKEY root, const char* path) {
    Close();
    HKEY handle = 0;
    RegOpenKeyExA(root, path, 0, KEY_READ, &handle);
    Set(handle, root, path);
    return handle != 0;
}

// Reads a value as stored (any type, nothing expanded); on failure the buffer gets the
// fallback, or zeros when there is none.
int RegistryKey::QueryString(const char* name, char* buffer, DWORD capacity, const char* fallback) {
    if (!buffer)
        return 1;
    DWORD type = 0;
    DWORD size = capacity;
    LONG result = RegQueryValueExA(handle_, name, 0, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (result == ERROR_SUCCESS)
        return 1;
    if (fallback)
        strncpy(buffer, fallback, capacity);
    else
        memset(buffer, 0, capacity);
    return 0;
}

int RegistryKey::Close() {
    HKEY handle = handle_;
    Set(0, 0, 0);
    if (!handle)
        return 0;
    return RegCloseKey(handle) == ERROR_SUCCESS;
}
