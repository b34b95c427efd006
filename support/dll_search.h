// Keeps DLLs that lie beside the program out of its process.
//
// The updater is run from a downloads folder, and Windows elevates it because its name holds
// "Update". Windows' own DLLs load helpers by bare name, and the search for a bare name starts
// in the program's folder: a DLL planted there would run with administrator rights.
#pragma once

// Restricts the search for DLLs loaded by bare name to the system folder. Call it first in
// WinMain, before anything can load a DLL. Where the system lacks SetDefaultDllDirectories
// (Windows before 8 without its update), it drops the current folder from the search and
// loads from the system folder, by full path, the DLLs that Windows' DLLs fetch by bare name
// while this program shows its windows.
void RestrictDllSearch();

// The fallback where SetDefaultDllDirectories is missing: the current folder dropped from the
// search, and PreloadSystemDlls. On its own only for tests.
void RestrictDllSearchFallback();
// The fallback's part that loads those DLLs by full path.
void PreloadSystemDlls();
