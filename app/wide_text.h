// The program's own texts as UTF-16 for the wide window functions, so that they read right
// whatever the system's ANSI code page is.
#pragma once

#include <windows.h>

// The code page the program's own texts are stored in.
const UINT kTextCodePage = 932;

// UTF-16 text of at most 260 units built from byte texts of given code pages; no heap.
class WideText {
  public:
    static const int Capacity = 260;
    // Appends count bytes of text (-1: up to its terminator) read in the code page. Text that
    // does not convert or does not fit marks the whole as failed.
    void Append(const char* text, int count, UINT codePage);
    // The text, or null when any part failed.
    const wchar_t* Text() const { return failed_ ? 0 : text_; }

  private:
    wchar_t text_[Capacity + 1] = {};
    int length_ = 0;
    bool failed_ = false;
};

// Sets a window's or a dialog control's text from code page 932 bytes; through the ANSI
// function, as the bytes stand, when they do not convert.
void SetProgramText(HWND window, const char* text);
void SetProgramItemText(HWND dialog, int id, const char* text);
// A message box with the host's name as caption. The text's first systemBytes bytes are in
// the system's ANSI code page (a path from the registry), the rest in code page 932.
int ShowProgramMessage(HWND owner, const char* text, UINT style, int systemBytes = 0);
