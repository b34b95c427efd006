// The fish this build carries, defined by app/fish.cpp (the only code compiled once per
// fish): the dialog's caption, the fish's Japanese name and its data file's path under the
// host directory, in code page 932.
#pragma once

extern const char kFishCaption[];
extern const char kFishName[];
extern const char kFishDataFile[];
