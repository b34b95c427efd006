#include "updater.h"

#include "data_stream.h"
#include "wide_text.h"

#include <string.h>

namespace {

const FileKind kThumbnailKind = 2; // bmp
const FileKind kNameKind = 21;     // txt

const char kCompletionFormat[] = "%s%s の更新が完了しました。";

} // namespace

// Writes the fish's data, thumbnail and name files into the host's Fish folder and says so
// once all three are complete. Any failure is silent and leaves the dialog open.
void InstallFishFiles() {
    DataStream stream;
    WorkPath.Assign(InstallDirectory);
    WorkPath.Append(kFishDataFile);
    if (!stream.ExtractResource("DATA.VMF", WorkPath))
        return;
    WorkPath.ChangeExtensionByKind(kThumbnailKind);
    int complete = stream.ExtractResource("DATA.BMP", WorkPath);
    WorkPath.ChangeExtensionByKind(kNameKind);
    complete &= stream.ExtractResource("DATA.TXT", WorkPath);
    if (!complete)
        return;

    PathBuffer message;
    message.Format(kCompletionFormat, InstallDirectory.Text(), kFishDataFile);
    // The host folder came from the registry in the system code page; the rest is ours.
    ShowProgramMessage(DialogWindow, message, MB_OK, int(strlen(InstallDirectory.Text())));
}
