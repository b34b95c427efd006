# The fish the default build carries: a fish folder (see publisher/fish_kit/fish_folder.py),
# made by resources/make_fish.py.
set(FISH_FOLDER ${CMAKE_CURRENT_LIST_DIR}/fish-20030)
