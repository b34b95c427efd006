"""Whether an exe is the fish of a fish folder, in the publisher's words: the one verdict
line of check-exe."""
from pathlib import Path

from . import resources, unpacking

RT_RCDATA = resources.RT_RCDATA


def differences(exe_data, found, fish):
    """What differs between an updater's fish and a converted fish folder, each in a few
    words."""
    said = []
    number = resources.fish_number(exe_data)
    if number != fish["number"]:
        said.append(f"another fish number: the exe is fish {number}, the folder fish "
                    f"{fish['number']}")
    names = [("Japanese", found[(RT_RCDATA, "DATA.TXT", 1028)][:-2], fish["name"], "cp932"),
             ("English", found[(RT_RCDATA, "DATA.TXT1", 1028)], fish["english"], "ascii")]
    for language, theirs, ours, encoding in names:
        if theirs != ours:
            said.append(f"another {language} name: the exe's is "
                        f"{theirs.decode(encoding, 'replace')}, the folder's "
                        f"{ours.decode(encoding)}")
    payload = fish["payload"]
    artwork = [name for name, same in (
        ("picture", found[(resources.RT_BITMAP, 102, 1028)] == payload["picture.bmp"][14:]),
        ("thumbnail", found[(RT_RCDATA, "DATA.BMP", 1028)] == payload["data.bmp"]),
        ("icon", unpacking.icon_file(found) == payload["fish.ico"])) if not same]
    if artwork:
        said.append(f"other artwork: the {', '.join(artwork)}")
    theirs, ours = found[(RT_RCDATA, "DATA.VMF", 1028)], payload["data.vmf"]
    if theirs != ours:
        sizes = (f"{len(theirs)} bytes, the folder's {len(ours)}" if len(theirs) != len(ours)
                 else "of the same size, other bytes")
        said.append(f"another data file: the exe's is {sizes}")
    return said


def verdict(exe, fish, folder):
    """(matches, line, notes): whether the exe carries the folder's fish, said in one line,
    and what is worth saying besides (an older kit's exe). Raises ExeError."""
    data = resources.read_exe(exe)
    found = resources.read_resources(data)
    problems = resources.table_problems(found)
    if problems:
        raise resources.ExeError(f"not an updater as the kit builds it: {problems[0]}")
    said, notes = differences(data, found, fish), resources.table_notes(found)
    if said:
        return False, f"is not the fish of {folder}: {'; '.join(said)}", notes
    return True, (f"{Path(exe).name} is fish {fish['number']} ({fish['name'].decode('cp932')}),"
                  " as the folder says"), notes
