#include "updater.h"

#include "data_stream.h"
#include "wide_text.h"

#include <string.h>

namespace {

const int kFishFiles = 3;
const char* const kResources[kFishFiles] = {"DATA.VMF", "DATA.BMP", "DATA.TXT"};
// The thumbnail's and the name file's names: the data file's with these kinds' extensions.
const FileKind kKinds[kFishFiles] = {0, 2 /* bmp */, 21 /* txt */};

// A file held open for a moment (a virus scanner, the host reading its fish) is asked
// again every 100 ms, for about 2 s.
const int kRetries = 20;
const DWORD kRetryPauseMs = 100;

const char kCompletionFormat[] = "%s%s の更新が完了しました。";

// One of the fish's files on its way in: the new bytes staged beside the target, and the
// old file moved aside while the others follow.
struct Replacement {
    char target[PathBuffer::Capacity + 1];
    char staged[PathBuffer::Capacity + 1];
    char backup[PathBuffer::Capacity + 1];
};

// Moves a file over another, or deletes it when to is null; asked again while the file is in
// use by another process.
int MovePatiently(const char* from, const char* to) {
    for (int attempt = 0;; ++attempt) {
        if (to ? MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               : DeleteFileA(from))
            return 1;
        DWORD error = GetLastError();
        if (attempt == kRetries ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return 0;
        Sleep(kRetryPauseMs);
    }
}

// Moves the old file, if there is one, aside to a name of its own, then the staged file into
// its place.
int PutInPlace(Replacement& file) {
    DWORD attributes = GetFileAttributesA(file.target);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // A folder or a read-only file in a fish file's name stays as it is.
        if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
            return 0;
        DataStream reserved;
        if (!reserved.CreateBeside(file.target, file.backup))
            return 0;
        reserved.Close();
        if (!MovePatiently(file.target, file.backup)) {
            DeleteFileA(file.backup);
            file.backup[0] = 0;
            return 0;
        }
    }
    if (!MovePatiently(file.staged, file.target))
        return 0;
    file.staged[0] = 0;
    return 1;
}

// Undoes PutInPlace: the old file back in its place, or the new one removed where there was
// none.
void TakeBack(Replacement& file) {
    if (*file.backup) {
        if (MovePatiently(file.backup, file.target))
            file.backup[0] = 0;
    } else if (!*file.staged) {
        MovePatiently(file.target, 0);
    }
}

// Stages the three files, then replaces data file, thumbnail and name; returns the number put
// in place: 3, or 0 with the Fish folder as it was.
int ReplaceFishFiles(Replacement* files) {
    DataStream stream;
    WorkPath.Assign(InstallDirectory);
    WorkPath.Append(kFishDataFile);
    int staged = 0;
    for (; staged < kFishFiles; ++staged) {
        if (kKinds[staged])
            WorkPath.ChangeExtensionByKind(kKinds[staged]);
        strcpy(files[staged].target, WorkPath);
        if (!stream.StageResource(kResources[staged], WorkPath, files[staged].staged))
            break;
    }
    int placed = 0;
    if (staged == kFishFiles) {
        while (placed < kFishFiles && PutInPlace(files[placed]))
            ++placed;
        if (placed < kFishFiles) {
            for (int i = placed; i >= 0; --i)
                TakeBack(files[i]);
            placed = 0;
        }
    }
    for (int i = 0; i < kFishFiles; ++i) {
        if (*files[i].staged)
            MovePatiently(files[i].staged, 0);
        // The old fish: kept under its other name only if it could not be put back.
        if (placed && *files[i].backup)
            MovePatiently(files[i].backup, 0);
    }
    return placed;
}

} // namespace

// Writes the fish's data, thumbnail and name files into the host's Fish folder, all three or
// none, and says so once all three are in place. Any failure is silent, leaves the Fish
// folder as it was and the dialog open.
void InstallFishFiles() {
    Replacement files[kFishFiles] = {};
    if (!ReplaceFishFiles(files))
        return;
    PathBuffer message;
    message.Format(kCompletionFormat, InstallDirectory.Text(), kFishDataFile);
    // The host folder came from the registry in the system code page; the rest is ours.
    ShowProgramMessage(DialogWindow, message, MB_OK, int(strlen(InstallDirectory.Text())));
}
