# The one fish this build carries. A build for another fish changes these lines and
# brings its own payload folder (data.vmf, data.bmp, data.txt, data.txt1, picture.bmp, fish.ico).
set(FISH_NUMBER 20030)
set(FISH_BASE_NAME PG20030)
set(FISH_NAME "ミツボシクロスズメダイ")
set(FISH_PAYLOAD_DIR ${CMAKE_CURRENT_LIST_DIR}/fish-20030)
