// The identity of the fish this build carries, from the fish.h the fish kit writes.
#include "fish.h"
#include "fish_identity.h"

const char kFishCaption[] = "Pelagio 2 魚" FISH_NUMBER " の更新";
const char kFishName[] = FISH_NAME;
const char kFishDataFile[] = FISH_DATA_FILE;
