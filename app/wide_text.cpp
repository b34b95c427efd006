#include "wide_text.h"

#include <string.h>

#include "updater.h"

void WideText::Append(const char* text, int count, UINT codePage) {
    if (failed_ || !text)
        return;
    if (count < 0)
        count = int(strlen(text));
    if (count == 0)
        return;
    int room = Capacity - length_;
    // A room of 0 would make MultiByteToWideChar only measure.
    int written =
        room > 0 ? MultiByteToWideChar(codePage, 0, text, count, text_ + length_, room) : 0;
    if (written <= 0) {
        failed_ = true;
        return;
    }
    length_ += written;
    text_[length_] = 0;
}

void SetProgramText(HWND window, const char* text) {
    WideText wide;
    wide.Append(text, -1, kTextCodePage);
    if (wide.Text())
        SetWindowTextW(window, wide.Text());
    else
        SetWindowTextA(window, text);
}

void SetProgramItemText(HWND dialog, int id, const char* text) {
    WideText wide;
    wide.Append(text, -1, kTextCodePage);
    if (wide.Text())
        SetDlgItemTextW(dialog, id, wide.Text());
    else
        SetDlgItemTextA(dialog, id, text);
}

int ShowProgramMessage(HWND owner, const char* text, UINT style, int systemBytes) {
    int length = int(strlen(text));
    if (systemBytes > length)
        systemBytes = length;
    WideText wideText, wideCaption;
    wideText.Append(text, systemBytes, CP_ACP);
    wideText.Append(text + systemBytes, length - systemBytes, kTextCodePage);
    wideCaption.Append(kHostTitle, -1, kTextCodePage);
    if (wideText.Text() && wideCaption.Text())
        return MessageBoxW(owner, wideText.Text(), wideCaption.Text(), style);
    return MessageBoxA(owner, text, kHostTitle, style);
}
